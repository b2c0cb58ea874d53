#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "display.h"
#include "loop.h"

// The one route from the session loop's thread to the window's thread. The loop never waits for
// the window: it hands its events over and goes on, and the window's thread takes all that came
// since it last looked as one step. Values (bytes counted, readings) are merged between two other
// events, so that a flood leaves the latest values to show, not a queue; every other event is kept.
namespace approbe::ui {

// One entry for the window's thread: an event of the session, or the values between two events.
struct HandedOver {
    std::optional<session::SessionEvent> event;
    std::optional<std::int64_t> rxTotal;
    ReadingRun readings;
};

class SessionHandoff : public std::enable_shared_from_this<SessionHandoff> {
public:
    // Runs f on the window's thread later; it must not wait for it.
    using UiPoster = std::function<void(std::function<void()> f)>;
    // The window's thread: the entries handed over since the last call, oldest first.
    using Receiver = std::function<void(std::vector<HandedOver>& entries)>;

    SessionHandoff(UiPoster post, Receiver receiver) : m_post(std::move(post)), m_receiver(std::move(receiver)) {}

    // The loop's thread.
    void Hand(const session::SessionEvent& event);
    // The window's thread: nothing more is taken or received, and what is on its way is dropped.
    // A wake-up still queued for the window's thread then finds nothing to do, whoever is gone.
    void Close();

private:
    void Deliver(); // the window's thread

    const UiPoster m_post;
    const Receiver m_receiver;
    std::mutex m_mutex;
    std::vector<HandedOver> m_pending; // under m_mutex
    bool m_open = true;                // under m_mutex
};

} // namespace approbe::ui
