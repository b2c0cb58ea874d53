#pragma once
// What the access point's shell answers: the levels it reports and the text of its replies. Both
// serving modes (a thread per connection, and the one-thread fleet) answer through here.
#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "script.h"

namespace sim {

extern const std::string kPrompt;
extern const std::string kBanner;

// Bounded random walk, independent per connection but identical for equal seeds.
class Walk {
public:
    explicit Walk(std::uint64_t seed);
    int noise();
    std::pair<int, int> rssi();
    std::array<int, 3> current() const { return {nf_, local_, remote_}; }

private:
    int pick(int lo, int hi);
    int step(int v, int lo, int hi);
    std::mt19937_64 rng_;
    int nf_ = 0, local_ = 0, remote_ = 0;
};

// A generated reply, and the places where cutting it hurts a reader most: inside each label,
// inside each number (after its first digit) and inside the prompt, in the order they come.
struct Reply {
    std::string text;
    std::vector<std::size_t> marks;

    void label(const std::string& s);
    void number(int v);
    // The text in n pieces (fewer if it is shorter): cut at the first n - 1 marks, and where
    // more pieces are wanted than there are marks, the longest piece halved, again and again.
    std::vector<std::string> pieces(std::size_t n) const;
};

// The shell's levels and the shape of its station table, for one connection.
class Shell {
public:
    Shell(std::uint64_t seed, ReplyShape shape);

    // The reply to one command line, prompt included.
    Reply answer(const std::string& cmd);
    // Levels from here on: fixed (nf, local, remote), or held at where the walk stands.
    void fix(std::array<int, 3> values) { fixed_ = values; }
    void hold() { fixed_ = walk_.current(); }
    std::array<int, 3> current() const { return fixed_ ? *fixed_ : walk_.current(); }
    ReplyShape& shape() { return shape_; }

private:
    void stationTable(Reply& r);

    Walk walk_;
    std::optional<std::array<int, 3>> fixed_;
    ReplyShape shape_;
    std::mt19937_64 drops_;  // a stream of its own, so dropping rows leaves the walk's values as they are
};

}  // namespace sim
