#pragma once
// What the access point's shell answers: the levels it reports and the text of its replies, in the
// manner of each kind of shell the simulator plays. Both serving modes (a thread per connection,
// and the one-thread fleet) answer through here.
#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "script.h"

namespace sim {

// The kinds of shell the simulator plays; each answers its own commands in its own format.
enum class DeviceKind { Korvane, LinuxIw, OpenWrt, RouterOs, JsonStatus };
constexpr const char* kDeviceKindNames = "korvane, linux-iw, openwrt, routeros, json-status";

std::optional<DeviceKind> parseDeviceKind(std::string_view name);
// A comma-separated list of kinds; nullopt if an entry names none.
std::optional<std::vector<DeviceKind>> parseDeviceKinds(std::string_view list);

// The kind of shell and its quirks.
struct Device {
    DeviceKind kind = DeviceKind::Korvane;
    std::string hostname;       // the name its prompts show; empty: the kind's own
    int chains = 2;             // per-chain signals listed where the shell lists them (0: none)
    bool noiseUnknown = false;  // the radio reports no noise floor (not korvane)
    long long pagerLines = 0;   // routeros: a reply longer than this stops at the pager (0: never)
    bool wifiPackage = false;   // routeros: the newer wireless package (/interface wifi), not the older
};

constexpr int kMaxChains = 4;

// Bounded random walk, independent per connection but identical for equal seeds. Each step gives
// one poll's levels (both RSSI, then the noise floor, drawn in that order), whichever of them a
// shell reports first: a level asked for again begins the next step. So every kind of shell
// reports the same values in its polls as korvane's does.
class Walk {
public:
    explicit Walk(std::uint64_t seed);
    int noise();
    std::pair<int, int> rssi();
    std::array<int, 3> current() const { return {nf_, local_, remote_}; }

private:
    void advance();
    int pick(int lo, int hi);
    int step(int v, int lo, int hi);
    std::mt19937_64 rng_;
    int nf_ = 0, local_ = 0, remote_ = 0;
    bool noiseDue_ = false, rssiDue_ = false;  // of this step, not reported yet
};

// A generated reply, and the places where cutting it hurts a reader most: inside each label,
// inside each number (after its first digit) and inside the prompt, in the order they come.
// Cleared and reused, it answers poll after poll without allocating.
struct Reply {
    std::string text;
    std::vector<std::size_t> marks;

    void clear() {
        text.clear();
        marks.clear();
    }
    void label(std::string_view s);
    void number(int v);
    // The text in n pieces (fewer if it is shorter): cut at the first n - 1 marks, and where
    // more pieces are wanted than there are marks, the longest piece halved, again and again.
    std::vector<std::string> pieces(std::size_t n) const;
};

// The shell's levels, the shape of its station table, and its manner, for one connection.
class Shell {
public:
    Shell(std::uint64_t seed, ReplyShape shape, const Device& device);

    // ---- the login program ----
    std::string_view banner() const;       // before the first login prompt
    const std::string& loginPrompt() const { return login_; }  // "login: ", "NAME login: ", "Login: "
    std::string_view loginFailed() const;  // the line after a wrong login
    // The user name as typed without the suffix the shell takes off; routeros's "+ct" also
    // turns its colours off.
    std::string_view user(std::string_view typed);
    // The shell's welcome once user is in (without the prompt); the prompt shows the user from here.
    std::string welcome(std::string_view user);
    // Whether a login tells when the one before it was (a Linux login program does).
    bool tellsLastLogin() const { return device_->kind != DeviceKind::RouterOs; }
    // Whether lines typed are echoed (all but the password), as a terminal does.
    bool echoes() const { return device_->kind != DeviceKind::Korvane; }

    // ---- the shell ----
    const std::string& prompt() const { return prompt_; }
    // Whether cmd ends the session.
    bool farewell(std::string_view cmd) const;
    // Appends the reply to one command line, prompt included.
    void answer(std::string_view cmd, Reply& r);
    // The lines after which the reply to cmd stops at the pager; 0: it does not.
    long long pagerLines(std::string_view cmd) const;
    static constexpr std::string_view kPagerPrompt = "-- [Q quit|D dump|down]";

    // Levels from here on: fixed (nf, local, remote), or held at where the walk stands.
    void fix(std::array<int, 3> values) { fixed_ = values; }
    void hold() { fixed_ = walk_.current(); }
    std::array<int, 3> current() const { return fixed_ ? *fixed_ : walk_.current(); }
    ReplyShape& shape() { return shape_; }

private:
    int noise() { return fixed_ ? (*fixed_)[0] : walk_.noise(); }
    std::pair<int, int> rssi() { return fixed_ ? std::pair((*fixed_)[1], (*fixed_)[2]) : walk_.rssi(); }
    bool listed();  // false: this row is dropped from the reply
    std::string_view hostname() const;

    void korvane(std::string_view cmd, Reply& r);
    void stationTable(Reply& r);
    void posix(std::string_view cmd, Reply& r);
    bool program(std::string_view cmd, Reply& r);
    void iwStations(Reply& r);
    void iwSurvey(Reply& r);
    void iwinfoInfo(Reply& r, bool step);
    void iwinfoStations(Reply& r);
    void status(Reply& r);
    void routeros(std::string_view cmd, Reply& r);
    void routerosMonitor(Reply& r);
    void routerosTable(Reply& r, bool terse);
    void routerosWifiTable(Reply& r);
    void record(Reply& r, int row, int station, std::string_view flags, std::string_view interface);
    void key(Reply& r, std::string_view name);  // a routeros key, coloured unless +ct
    int chainLevel(int combined) const;
    void chains(Reply& r, int combined, std::string_view sep);

    Walk walk_;
    std::optional<std::array<int, 3>> fixed_;
    ReplyShape shape_;
    const Device* device_;
    std::mt19937_64 drops_;  // a stream of its own, so dropping rows leaves the walk's values as they are
    bool colours_ = true;    // routeros without +ct
    std::string login_;
    std::string prompt_;
};

}  // namespace sim
