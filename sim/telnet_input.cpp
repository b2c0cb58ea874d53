#include "telnet_input.h"

#include <utility>

namespace sim {

// Length of the telnet command at in_[i] (IAC ...), 0 if it is not complete yet.
std::size_t TelnetInput::commandLength(std::size_t i) const {
    if (i + 1 >= in_.size()) return 0;
    const auto cmd = static_cast<unsigned char>(in_[i + 1]);
    if (cmd >= WILL && cmd <= DONT) return i + 2 < in_.size() ? 3 : 0;
    if (cmd == SB) {
        for (std::size_t k = i + 2; k + 1 < in_.size(); ++k)
            if (static_cast<unsigned char>(in_[k]) == IAC && static_cast<unsigned char>(in_[k + 1]) == SE) return k + 2 - i;
        return 0;
    }
    return 2;
}

bool TelnetInput::skipToData(std::size_t& i) {
    while (i < in_.size()) {
        const auto c = static_cast<unsigned char>(in_[i]);
        if (afterCR_ && (c == '\n' || c == '\0')) {
            afterCR_ = false;
            ++i;
            continue;
        }
        afterCR_ = false;
        if (c != IAC) return true;
        const std::size_t n = commandLength(i);
        if (n == 0) return false;
        if (n == 2 && static_cast<unsigned char>(in_[i + 1]) == IAC) return true;  // escaped 255
        if (n == 3) answered_(static_cast<unsigned char>(in_[i + 1]), static_cast<unsigned char>(in_[i + 2]));
        i += n;
    }
    return false;
}

bool TelnetInput::line(std::string& out) {
    std::size_t i = 0;
    while (skipToData(i)) {
        const char c = in_[i];
        if (c == '\r' || c == '\n') {
            afterCR_ = c == '\r';
            in_.erase(0, i + 1);
            out.assign(partial_);
            partial_.clear();
            return true;
        }
        if (partial_.size() >= kMaxLine) {
            in_.erase(0, i);
            out.assign(partial_);
            partial_.clear();
            return true;
        }
        partial_ += c;
        i += static_cast<unsigned char>(c) == IAC ? 2 : 1;
    }
    in_.erase(0, i);
    dropIfOverlong();
    return false;
}

std::optional<char> TelnetInput::key() {
    std::size_t i = 0;
    if (!skipToData(i)) {
        in_.erase(0, i);
        return std::nullopt;
    }
    const char c = in_[i];
    afterCR_ = c == '\r';
    in_.erase(0, i + (static_cast<unsigned char>(c) == IAC ? 2 : 1));
    return c;
}

void TelnetInput::setAside() {
    aside_ += in_;
    in_.clear();
    asideAfterCR_ = std::exchange(afterCR_, false);
}

void TelnetInput::takeBack() {
    in_.insert(0, aside_);
    aside_.clear();
    afterCR_ = asideAfterCR_;
}

void TelnetInput::takeCommands() {
    std::string data;
    std::size_t i = 0;
    while (i < in_.size()) {
        if (static_cast<unsigned char>(in_[i]) != IAC) {
            data += in_[i++];
            continue;
        }
        const std::size_t n = commandLength(i);
        if (n == 0) break;  // incomplete: the rest waits for more input
        if (n == 2 && static_cast<unsigned char>(in_[i + 1]) == IAC) data.append(in_, i, 2);
        if (n == 3) answered_(static_cast<unsigned char>(in_[i + 1]), static_cast<unsigned char>(in_[i + 2]));
        i += n;
    }
    in_ = data + in_.substr(i);
}

bool TelnetInput::consumeThrough(const std::string& text) {
    const auto at = in_.find(text);
    if (at != std::string::npos) {
        in_.erase(0, at + text.size());
        afterCR_ = text.back() == '\r';
        return true;
    }
    // Only a partial match at the tail can still matter.
    if (in_.size() >= text.size()) in_.erase(0, in_.size() - text.size() + 1);
    return false;
}

void TelnetInput::dropIfOverlong() {
    if (in_.size() > kMaxLine) in_.clear();
}

}  // namespace sim
