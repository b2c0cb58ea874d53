#pragma once

#include <QString>
#include <cstddef>
#include <memory>

#include "tone_generator.h"

// The sound card behind the aiming tone. Its one implementation links Qt Multimedia and lives in
// a module of its own (lib/approbe/libapprobe-audio.so beside bin/), loaded the first time the
// tone or its menu item needs it: start-up then neither loads nor links Qt Multimedia and the
// sound server's client.
namespace approbe::ui {

// What an output plays: told the format once, then asked for bytes of whole frames.
class IToneFeed {
public:
    virtual void Prepare(const ToneFormat& format) = 0;
    virtual std::size_t Fill(char* out, std::size_t bytes) = 0;

protected:
    ~IToneFeed() = default;
};

class IToneOutput {
public:
    virtual ~IToneOutput() = default;
    // False when there is no audio output device.
    virtual bool HasDevice() = 0;
    // Opens the default output and starts pulling from feed; false (and nothing open) when it
    // cannot be opened.
    virtual bool Start(IToneFeed& feed) = 0;
    // Ends at once whatever is still queued: the caller lets the sound fade out first.
    virtual void Stop() = 0;
    // Frames queued ahead of what is heard, at most.
    virtual std::size_t queuedFrames() const = 0;
};

// The module's one entry point: a new output, owned by the caller.
using NewToneOutputFn = IToneOutput* (*)();
inline constexpr const char* kNewToneOutputSymbol = "approbe_new_tone_output";

// Loads the module on first use (it stays loaded) and makes an output; null, with error set,
// when the module cannot be loaded.
std::unique_ptr<IToneOutput> LoadToneOutput(QString& error);

} // namespace approbe::ui
