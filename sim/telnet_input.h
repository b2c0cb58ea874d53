#pragma once
// What a client typed: lines ended by CR, LF or CRLF (also CR NUL), with telnet commands (IAC ...)
// taken out wherever they come, also split across reads. Never blocks: the caller feeds it bytes.
#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace sim {

constexpr unsigned char IAC = 255, SB = 250, SE = 240, WILL = 251, WONT = 252, DO = 253, DONT = 254;

class TelnetInput {
public:
    // answered gets the verb and option of every option command the client sends.
    explicit TelnetInput(std::function<void(unsigned char, unsigned char)> answered) : answered_(std::move(answered)) {}

    void append(const char* data, std::size_t size) { in_.append(data, size); }
    // The next whole line into out (its buffer reused); false until more input completes one.
    // Garbage without line ends is cut into lines of at most kMaxLine bytes.
    bool line(std::string& out);
    // The next byte typed, as a pager reads a key; nullopt until one comes.
    std::optional<char> key();
    // Input so far waits apart until takeBack, so that a pager's key is what is typed after it
    // asks, and lines typed ahead stay lines.
    void setAside();
    void takeBack();
    // Takes the complete telnet commands out of the input, reporting each; data stays.
    void takeCommands();
    // Consumes through text if the input holds it; else keeps only the tail that may still begin it.
    bool consumeThrough(const std::string& text);
    // Input that can never complete (an endless subnegotiation) is dropped.
    void dropIfOverlong();

    static constexpr std::size_t kMaxLine = 4096;

private:
    std::size_t commandLength(std::size_t i) const;
    // Moves i past telnet commands (reporting them) and the second half of a line end; false if
    // the input ends first. Then in_[i] is the next byte typed (an escaped 255 is two bytes).
    bool skipToData(std::size_t& i);

    std::function<void(unsigned char, unsigned char)> answered_;
    std::string in_;       // received, not consumed yet
    std::string partial_;  // the line read so far
    bool afterCR_ = false; // a LF or NUL right after CR belongs to the previous line
    std::string aside_;    // input set aside, and afterCR_ as it was then
    bool asideAfterCR_ = false;
};

}  // namespace sim
