#include "replies.h"

#include <algorithm>

namespace sim {

const std::string kPrompt = "AP> ";
const std::string kBanner = "\r\napprobe-sim access point shell\r\n\r\n";

Walk::Walk(std::uint64_t seed) : rng_(seed) {
    nf_ = pick(-98, -88);
    local_ = pick(-70, -50);
    remote_ = pick(-70, -50);
}

int Walk::noise() { return nf_ = step(nf_, -100, -80); }

std::pair<int, int> Walk::rssi() {
    local_ = step(local_, -90, -40);
    remote_ = step(remote_, -90, -40);
    return {local_, remote_};
}

// Own mapping instead of std::uniform_int_distribution so values do not depend on the library.
int Walk::pick(int lo, int hi) { return lo + static_cast<int>(rng_() % static_cast<std::uint64_t>(hi - lo + 1)); }
int Walk::step(int v, int lo, int hi) { return std::clamp(v + pick(-3, 3), lo, hi); }

void Reply::label(const std::string& s) {
    marks.push_back(text.size() + s.size() / 2);
    text += s;
}

void Reply::number(int v) {
    const std::string s = std::to_string(v);
    marks.push_back(text.size() + (s.size() + 1) / 2);
    text += s;
}

std::vector<std::string> Reply::pieces(std::size_t n) const {
    std::vector<std::size_t> bounds = {0};
    const auto cuts = static_cast<std::ptrdiff_t>(std::min(n - 1, marks.size()));
    bounds.insert(bounds.end(), marks.begin(), marks.begin() + cuts);
    bounds.push_back(text.size());
    while (bounds.size() < n + 1) {
        std::size_t longest = 0;
        for (std::size_t k = 1; k + 1 < bounds.size(); ++k)
            if (bounds[k + 1] - bounds[k] > bounds[longest + 1] - bounds[longest]) longest = k;
        const std::size_t length = bounds[longest + 1] - bounds[longest];
        if (length < 2) break;
        bounds.insert(bounds.begin() + static_cast<std::ptrdiff_t>(longest) + 1, bounds[longest] + length / 2);
    }
    std::vector<std::string> out;
    for (std::size_t k = 0; k + 1 < bounds.size(); ++k) out.push_back(text.substr(bounds[k], bounds[k + 1] - bounds[k]));
    return out;
}

Shell::Shell(std::uint64_t seed, ReplyShape shape)
    : walk_(seed), shape_(std::move(shape)), drops_(seed ^ 0x9e3779b97f4a7c15u) {}

Reply Shell::answer(const std::string& cmd) {
    Reply r;
    if (cmd == "get station") {
        stationTable(r);
    } else if (cmd == "get nf") {
        r.label("Noise Floor Level:");
        r.text += " ";
        r.number(fixed_ ? (*fixed_)[0] : walk_.noise());
        r.text += " dBm\r\n";
    } else {
        r.text += "Error: unknown command\r\n";
    }
    r.label(kPrompt);
    return r;
}

// One row per listed station: station 1 has the walking (or fixed) values, station k > 1
// fixed ones outside the walk's range. The walk moves even when its row is dropped.
void Shell::stationTable(Reply& r) {
    const auto [local, remote] = fixed_ ? std::pair((*fixed_)[1], (*fixed_)[2]) : walk_.rssi();
    r.text += "Station table\r\n"
              "  ID  MAC address        Rate   Signal\r\n";
    for (const int k : shape_.stations) {
        if (shape_.dropRowsPercent > 0 && static_cast<long long>(drops_() % 100) < shape_.dropRowsPercent) continue;
        static const char hex[] = "0123456789abcdef";
        const int last = 0x3c + k - 1;
        r.text += "  " + std::to_string(k) + "   00:0c:42:1a:2b:" + hex[last >> 4] + hex[last & 15] + "  54M    ";
        r.label("Local RSSI level:");
        r.text += " ";
        r.number(k == 1 ? local : -(90 + k));
        r.text += " dBm  ";
        r.label("Remote RSSI level:");
        r.text += " ";
        r.number(k == 1 ? remote : -(91 + k));
        r.text += " dBm\r\n";
    }
}

}  // namespace sim
