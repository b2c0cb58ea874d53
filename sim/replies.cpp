#include "replies.h"

#include <algorithm>
#include <charconv>

namespace sim {
namespace {

constexpr std::string_view kNl = "\r\n";  // a terminal turns every line end into CR LF

struct KindName {
    DeviceKind kind;
    std::string_view name, hostname;
};
constexpr KindName kKinds[] = {
    {DeviceKind::Korvane, "korvane", ""},
    {DeviceKind::LinuxIw, "linux-iw", "ap"},
    {DeviceKind::OpenWrt, "openwrt", "OpenWrt"},
    {DeviceKind::RouterOs, "routeros", "tower"},
    {DeviceKind::JsonStatus, "json-status", "cpe"},
};

// The interface each shell's radio is (what its commands name).
constexpr std::string_view kIwInterface = "wlan0", kOpenWrtInterface = "phy0-ap0", kRouterOsInterface = "wlan1";
constexpr std::string_view kStatusProgram = "/usr/www/status.cgi";

// The first word of s, and s after it.
std::string_view firstWord(std::string_view& s) {
    s = trim(s);
    const auto end = std::min(s.find_first_of(" \t"), s.size());
    const std::string_view w = s.substr(0, end);
    s.remove_prefix(end);
    s = trim(s);
    return w;
}

bool has(std::string_view s, std::string_view part) { return s.find(part) != std::string_view::npos; }

}  // namespace

std::optional<DeviceKind> parseDeviceKind(std::string_view name) {
    for (const KindName& k : kKinds)
        if (k.name == name) return k.kind;
    return std::nullopt;
}

std::optional<std::vector<DeviceKind>> parseDeviceKinds(std::string_view list) {
    std::vector<DeviceKind> kinds;
    for (;;) {
        const auto comma = list.find(',');
        const auto kind = parseDeviceKind(trim(list.substr(0, comma)));
        if (!kind) return std::nullopt;
        kinds.push_back(*kind);
        if (comma == std::string_view::npos) return kinds;
        list.remove_prefix(comma + 1);
    }
}

Walk::Walk(std::uint64_t seed) : rng_(seed) {
    nf_ = pick(-98, -88);
    local_ = pick(-70, -50);
    remote_ = pick(-70, -50);
}

int Walk::noise() {
    if (!noiseDue_) advance();
    noiseDue_ = false;
    return nf_;
}

std::pair<int, int> Walk::rssi() {
    if (!rssiDue_) advance();
    rssiDue_ = false;
    return {local_, remote_};
}

void Walk::advance() {
    local_ = step(local_, -90, -40);
    remote_ = step(remote_, -90, -40);
    nf_ = step(nf_, -100, -80);
    noiseDue_ = rssiDue_ = true;
}

// Own mapping instead of std::uniform_int_distribution so values do not depend on the library.
int Walk::pick(int lo, int hi) { return lo + static_cast<int>(rng_() % static_cast<std::uint64_t>(hi - lo + 1)); }
int Walk::step(int v, int lo, int hi) { return std::clamp(v + pick(-3, 3), lo, hi); }

void Reply::label(std::string_view s) {
    marks.push_back(text.size() + s.size() / 2);
    text += s;
}

void Reply::number(int v) {
    char digits[16];
    const auto end = std::to_chars(digits, digits + sizeof digits, v).ptr;
    const auto size = static_cast<std::size_t>(end - digits);
    marks.push_back(text.size() + (size + 1) / 2);
    text.append(digits, size);
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

Shell::Shell(std::uint64_t seed, ReplyShape shape, const Device& device)
    : walk_(seed), shape_(std::move(shape)), device_(&device), drops_(seed ^ 0x9e3779b97f4a7c15u) {
    prompt_ = device.kind == DeviceKind::Korvane ? "AP> " : "";
    switch (device.kind) {
    case DeviceKind::Korvane: login_ = "login: "; break;
    case DeviceKind::RouterOs: login_ = "Login: "; break;
    default: login_ = std::string(hostname()) + " login: "; break;  // a Linux login program names the host
    }
}

std::string_view Shell::hostname() const {
    if (!device_->hostname.empty()) return device_->hostname;
    return kKinds[static_cast<std::size_t>(device_->kind)].hostname;
}

// ---- the login program ----

std::string_view Shell::banner() const {
    return device_->kind == DeviceKind::Korvane ? "\r\napprobe-sim access point shell\r\n\r\n" : kNl;
}

std::string_view Shell::loginFailed() const {
    return device_->kind == DeviceKind::RouterOs ? "Login failed, incorrect username or password" : "Login incorrect";
}

std::string_view Shell::user(std::string_view typed) {
    if (device_->kind == DeviceKind::RouterOs) {
        // Options after '+' ("+ct": no colours, no terminal detection) are no part of the name.
        const auto plus = typed.rfind('+');
        if (plus != std::string_view::npos) {
            colours_ = !has(typed.substr(plus), "c");
            typed = typed.substr(0, plus);
        }
    }
    return typed;
}

std::string Shell::welcome(std::string_view user) {
    const std::string name(user), host(hostname());
    switch (device_->kind) {
    case DeviceKind::Korvane: return {};
    case DeviceKind::RouterOs:
        prompt_ = colours_ ? "\x1b[9999B[\x1b[36m" + name + "\x1b[m@\x1b[34m" + host + "\x1b[m] > " : "[" + name + "@" + host + "] > ";
        return "\r\n\r\n  approbe-sim router shell 7.12\r\n  " + host + " ready\r\n\r\n";
    case DeviceKind::JsonStatus:
        prompt_ = host + "# ";
        return "\r\n\r\nBusyBox v1.25.1 (2023-05-12 09:14:03 UTC) built-in shell (ash)\r\n\r\n";
    case DeviceKind::OpenWrt:
        prompt_ = name + "@" + host + ":~" + (name == "root" ? "# " : "$ ");
        return "\r\n\r\nBusyBox v1.36.1 (2024-09-23 12:34:46 UTC) built-in shell (ash)\r\n\r\n";
    case DeviceKind::LinuxIw:
        prompt_ = name + "@" + host + ":~" + (name == "root" ? "# " : "$ ");
        return "Linux " + host + " 6.1.0-approbe-sim #1 SMP x86_64\r\n\r\n";
    }
    return {};
}

// ---- the shell ----

bool Shell::farewell(std::string_view cmd) const {
    switch (device_->kind) {
    case DeviceKind::Korvane: return cmd == "q" || cmd == "quit";
    case DeviceKind::RouterOs: return cmd == "/quit" || cmd == "quit";
    default: return cmd == "exit" || cmd == "logout";
    }
}

long long Shell::pagerLines(std::string_view cmd) const {
    return device_->kind == DeviceKind::RouterOs && !has(cmd, "without-paging") ? device_->pagerLines : 0;
}

void Shell::answer(std::string_view cmd, Reply& r) {
    switch (device_->kind) {
    case DeviceKind::Korvane: korvane(cmd, r); break;
    case DeviceKind::RouterOs: routeros(cmd, r); break;
    default: posix(cmd, r); break;
    }
    r.label(prompt_);
}

bool Shell::listed() {
    return !(shape_.dropRowsPercent > 0 && static_cast<long long>(drops_() % 100) < shape_.dropRowsPercent);
}

namespace {

// Station k's MAC address: 00:0c:42:1a:2b:XX with XX = 3c + k - 1.
void mac(Reply& r, int k, bool upper) {
    static const char lower[] = "0123456789abcdef", capital[] = "0123456789ABCDEF";
    const char* hex = upper ? capital : lower;
    r.text += upper ? "00:0C:42:1A:2B:" : "00:0c:42:1a:2b:";
    const int last = 0x3c + k - 1;
    r.text += hex[last >> 4];
    r.text += hex[last & 15];
}

// Station k's levels: station 1 walks, the others stay below the walk's range.
std::pair<int, int> levelsOf(int k, std::pair<int, int> first) {
    return k == 1 ? first : std::pair(-(90 + k), -(91 + k));
}

}  // namespace

// ---- korvane: "get station", "get nf", labelled lines ----

void Shell::korvane(std::string_view cmd, Reply& r) {
    if (cmd == "get station") {
        stationTable(r);
    } else if (cmd == "get nf") {
        r.label("Noise Floor Level:");
        r.text += " ";
        r.number(noise());
        r.text += " dBm\r\n";
    } else {
        r.text += "Error: unknown command\r\n";
    }
}

// One row per listed station. The walk moves even when its row is dropped.
void Shell::stationTable(Reply& r) {
    const auto first = rssi();
    r.text += "Station table\r\n"
              "  ID  MAC address        Rate   Signal\r\n";
    for (const int k : shape_.stations) {
        if (!listed()) continue;
        const auto [local, remote] = levelsOf(k, first);
        r.text += "  ";
        r.number(k);
        r.marks.pop_back();  // the ID is no level: no cut there
        r.text += "   ";
        mac(r, k, false);
        r.text += "  54M    ";
        r.label("Local RSSI level:");
        r.text += " ";
        r.number(local);
        r.text += " dBm  ";
        r.label("Remote RSSI level:");
        r.text += " ";
        r.number(remote);
        r.text += " dBm\r\n";
    }
}

// ---- a Linux shell (linux-iw, openwrt, json-status): commands joined by ';' ----

void Shell::posix(std::string_view line, Reply& r) {
    while (!line.empty()) {
        const auto semi = line.find(';');
        const std::string_view cmd = trim(line.substr(0, semi));
        line.remove_prefix(semi == std::string_view::npos ? line.size() : semi + 1);
        if (!cmd.empty() && !program(cmd, r)) {
            std::string_view rest = cmd;
            r.text += "-sh: ";
            r.text += firstWord(rest);
            r.text += ": not found\r\n";
        }
    }
}

// Runs one command of a Linux shell; false if the shell has no such program.
bool Shell::program(std::string_view cmd, Reply& r) {
    const DeviceKind kind = device_->kind;
    const bool iw = kind == DeviceKind::LinuxIw || kind == DeviceKind::OpenWrt;
    const bool iwinfo = kind == DeviceKind::OpenWrt;
    const std::string_view ifname = kind == DeviceKind::OpenWrt ? kOpenWrtInterface : kIwInterface;
    std::string_view args = cmd;
    const std::string_view name = firstWord(args);
    if (name == "command" && firstWord(args) == "-v") {
        // Prints where a program is; nothing if there is none.
        if (args == "iw" && iw) r.text += "/usr/sbin/iw\r\n";
        if (args == "iwinfo" && iwinfo) r.text += "/usr/bin/iwinfo\r\n";
        return true;
    }
    if (name == "ls") {
        if (args == kStatusProgram && kind == DeviceKind::JsonStatus) {
            r.text += args;
            r.text += kNl;
        } else {
            r.text += "ls: ";
            r.text += args;
            r.text += ": No such file or directory\r\n";
        }
        return true;
    }
    if (name == "iw" && iw) {
        if (firstWord(args) != "dev") return true;
        if (args.empty()) {
            r.text += "phy#0\r\n\tInterface ";
            r.text += ifname;
            r.text += "\r\n\t\tifindex 4\r\n\t\twdev 0x1\r\n\t\taddr 00:0c:42:1a:2b:30\r\n\t\tssid approbe-sim\r\n"
                      "\t\ttype AP\r\n\t\tchannel 36 (5180 MHz), width: 80 MHz, center1: 5210 MHz\r\n"
                      "\t\ttxpower 23.00 dBm\r\n";
            return true;
        }
        if (firstWord(args) != ifname) {
            r.text += "command failed: No such device (-19)\r\n";
            return true;
        }
        if (args == "station dump") iwStations(r);
        else if (args == "survey dump") iwSurvey(r);
        else r.text += "Usage:\tiw [options] dev <devname> station dump\r\n";
        return true;
    }
    if (name == "iwinfo" && iwinfo) {
        if (args.empty()) {
            iwinfoInfo(r, false);
            r.text += kNl;
            return true;
        }
        if (const std::string_view dev = firstWord(args); dev != ifname) {
            r.text += "No such wireless device: ";
            r.text += dev;
            r.text += kNl;
            return true;
        }
        if (args == "info") iwinfoInfo(r, true);
        else if (args == "assoclist") iwinfoStations(r);
        else r.text += "Usage:\r\n\tiwinfo <device> info\r\n\tiwinfo <device> assoclist\r\n";
        return true;
    }
    if (name == kStatusProgram && kind == DeviceKind::JsonStatus) {
        status(r);
        return true;
    }
    return false;
}

// A chain's level: each the same, so that their power sums to the combined level.
int Shell::chainLevel(int combined) const {
    static constexpr int kBelow[kMaxChains + 1] = {0, 0, 3, 5, 6};
    return combined - kBelow[device_->chains];
}

// "-70, -70": the chains of a combined level.
void Shell::chains(Reply& r, int combined, std::string_view sep) {
    for (int c = 0; c < device_->chains; ++c) {
        if (c > 0) r.text += sep;
        r.number(chainLevel(combined));
        r.marks.pop_back();  // a chain is no level the reader takes: no cut there
    }
}

void Shell::iwStations(Reply& r) {
    const auto first = rssi();
    for (const int k : shape_.stations) {
        if (!listed()) continue;
        const int local = levelsOf(k, first).first;
        r.text += "Station ";
        mac(r, k, false);
        r.text += " (on ";
        r.text += device_->kind == DeviceKind::OpenWrt ? kOpenWrtInterface : kIwInterface;
        r.text += ")\r\n\tinactive time:\t310 ms\r\n\trx bytes:\t1285922\r\n\trx packets:\t9471\r\n"
                  "\ttx bytes:\t623370\r\n\ttx packets:\t3209\r\n\ttx retries:\t12\r\n\ttx failed:\t0\r\n";
        for (const std::string_view label : {"\tsignal:  \t", "\tsignal avg:\t"}) {
            r.label(label);
            r.number(local);
            if (device_->chains > 0) {
                r.text += " [";
                chains(r, local, ", ");
                r.text += "]";
            }
            r.text += " dBm\r\n";
        }
        r.text += "\ttx bitrate:\t144.4 MBit/s MCS 15 short GI\r\n\trx bitrate:\t130.0 MBit/s MCS 15\r\n"
                  "\tauthorized:\tyes\r\n\tauthenticated:\tyes\r\n\tassociated:\tyes\r\n";
    }
}

// Three channels surveyed, the middle one in use; the radio's noise is that one's.
void Shell::iwSurvey(Reply& r) {
    const int nf = noise();
    const std::string_view ifname = device_->kind == DeviceKind::OpenWrt ? kOpenWrtInterface : kIwInterface;
    for (const int channel : {5180, 5200, 5220}) {
        r.text += "Survey data from ";
        r.text += ifname;
        r.text += "\r\n\tfrequency:\t\t\t";
        r.number(channel);
        r.marks.pop_back();
        r.text += channel == 5200 ? " MHz [in use]\r\n" : " MHz\r\n";
        if (!device_->noiseUnknown) {
            r.label("\tnoise:\t\t\t\t");
            r.number(channel == 5200 ? nf : nf - 8);
            r.text += " dBm\r\n";
        }
        r.text += "\tchannel active time:\t\t66437 ms\r\n\tchannel busy time:\t\t4406 ms\r\n";
    }
}

// iwinfo's interface block; step: the noise floor moves on (info), or stays (the list of all).
void Shell::iwinfoInfo(Reply& r, bool step) {
    const int nf = step ? noise() : current()[0];
    const int signal = current()[1];
    r.text += kOpenWrtInterface;
    r.text += "  ESSID: \"approbe-sim\"\r\n"
              "          Access Point: 00:0C:42:1A:2B:30\r\n"
              "          Mode: Master  Channel: 36 (5.180 GHz)  HT Mode: VHT80\r\n"
              "          Tx-Power: 23 dBm  Link Quality: ";
    r.number(std::clamp(signal + 110, 0, 70));
    r.marks.pop_back();
    r.text += "/70\r\n          Signal: ";
    r.number(signal);
    r.marks.pop_back();
    r.text += " dBm  ";
    r.label("Noise:");
    r.text += " ";
    if (device_->noiseUnknown) {
        r.text += "unknown";
    } else {
        r.number(nf);
        r.text += " dBm";
    }
    r.text += "\r\n          Bit Rate: 433.3 MBit/s\r\n"
              "          Encryption: WPA2 PSK (CCMP)\r\n"
              "          Type: nl80211  HW Mode(s): 802.11ac/n\r\n"
              "          Supports VAPs: yes  PHY name: phy0\r\n";
}

// "00:0C:42:1A:2B:3C  -63 dBm / -95 dBm (SNR 32)  120 ms ago", then the rates, a blank line after each.
void Shell::iwinfoStations(Reply& r) {
    const auto first = rssi();
    const int nf = current()[0];
    for (const int k : shape_.stations) {
        if (!listed()) continue;
        const int local = levelsOf(k, first).first;
        mac(r, k, true);
        r.text += "  ";
        r.number(local);
        r.text += " dBm / ";
        if (device_->noiseUnknown) {
            r.text += "unknown (SNR ";  // iwinfo takes the missing noise for 0
            r.number(local);
        } else {
            r.number(nf);
            r.text += " dBm (SNR ";
            r.number(local - nf);
        }
        r.marks.pop_back();
        r.text += ")  120 ms ago\r\n"
                  "\tRX: 433.3 MBit/s, VHT-MCS 9, 80MHz, VHT-NSS 1           100241 Pkts.\r\n"
                  "\tTX: 390.0 MBit/s, VHT-MCS 8, 80MHz, VHT-NSS 1, short GI   67211 Pkts.\r\n"
                  "\texpected throughput: unknown\r\n\r\n";
    }
}

// The status program: a CGI header, then the whole status as one line of JSON.
void Shell::status(Reply& r) {
    const auto first = rssi();
    const int nf = device_->noiseUnknown ? 0 : noise();
    r.text += "Content-Type: application/json\r\n\r\n"
              "{\"host\":{\"uptime\":90210,\"hostname\":\"";
    r.text += hostname();
    r.text += "\",\"fwversion\":\"v6.3.11\"},\"wireless\":{\"mode\":\"ap-ptp\",\"essid\":\"approbe-sim\","
              "\"frequency\":\"5745 MHz\",\"noisef\":";
    r.number(nf);
    r.text += ",\"signal\":";
    r.number(first.first);
    r.marks.pop_back();
    r.text += ",\"sta\":[";
    bool comma = false;
    for (const int k : shape_.stations) {
        if (!listed()) continue;
        const auto [local, remote] = levelsOf(k, first);
        r.text += comma ? ",{\"mac\":\"" : "{\"mac\":\"";
        comma = true;
        mac(r, k, true);
        r.text += "\",";
        r.label("\"signal\":");
        r.number(local);
        r.text += ",\"chainrssi\":[";
        chains(r, local, ",");
        r.text += "],\"noisefloor\":";
        r.number(nf);
        r.marks.pop_back();
        r.text += ",\"remote\":{";
        r.label("\"signal\":");
        r.number(remote);
        r.text += ",\"hostname\":\"station-";
        r.number(k);
        r.marks.pop_back();
        r.text += "\"}}";
    }
    r.text += "]}}\r\n";
}

// ---- routeros: /interface wireless commands, key=value records ----

void Shell::key(Reply& r, std::string_view name) {
    if (colours_) r.text += "\x1b[33m";
    r.label(name);
    if (colours_) r.text += "\x1b[m";
}

void Shell::routeros(std::string_view cmd, Reply& r) {
    std::string_view args = cmd;
    const std::string_view menu = firstWord(args);
    const std::string_view package = firstWord(args);
    if (menu == "/interface" && package == "wifi" && device_->wifiPackage) {
        if (firstWord(args) == "registration-table" && firstWord(args) == "print") {
            routerosWifiTable(r);
            return;
        }
    }
    if (menu == "/interface" && package == "wireless" && !device_->wifiPackage) {
        const std::string_view what = firstWord(args);
        if (what == "monitor") {
            if (firstWord(args) != kRouterOsInterface) {
                r.text += "input does not match any value of interface\r\n";
                return;
            }
            routerosMonitor(r);
            return;
        }
        if (what == "registration-table" && firstWord(args) == "print") {
            routerosTable(r, has(args, "terse"));
            return;
        }
    }
    if (menu.empty()) return;
    // The column of the word it does not know: the menu's second word, else the first.
    const bool second = menu == "/interface" && !package.empty();
    r.text += "bad command name ";
    r.text += second ? package : menu.substr(menu.front() == '/' ? 1 : 0);
    r.text += second ? " (line 1 column 12)\r\n" : " (line 1 column 1)\r\n";
}

// " 0 A  interface=wlan1 mac-address=00:0C:42:1A:2B:3C": a record's number, flags, interface and station.
void Shell::record(Reply& r, int row, int station, std::string_view flags, std::string_view interface) {
    r.text += " ";
    r.number(row);
    r.marks.pop_back();
    r.text += flags;
    key(r, "interface");
    r.text += interface;
    key(r, "mac-address");
    r.text += "=";
    mac(r, station, true);
}

// The newer wireless package's table: a station's signal, no remote and no noise.
void Shell::routerosWifiTable(Reply& r) {
    const auto first = rssi();
    r.text += "Flags: A - AUTHORIZED; B - BYPASSED \r\n";
    int row = 0;
    for (const int k : shape_.stations) {
        if (!listed()) continue;
        record(r, row++, k, " A ", "=wifi1 ssid=\"approbe-sim\" ");
        r.text += " uptime=2m1s \r\n     last-activity=0ms ";
        key(r, "signal");
        r.text += "=";
        r.number(levelsOf(k, first).first);
        r.text += " auth-type=wpa2-psk band=5ghz-ax tx-rate=1200.9Mbps \r\n"
                  "     rx-rate=1080.6Mbps packets=2211,1908 bytes=315022,401172 \r\n";
    }
    r.text += kNl;
}

void Shell::routerosMonitor(Reply& r) {
    const int nf = noise();
    r.text += "                  status: running-ap\r\n"
              "                    band: 5ghz-a/n\r\n"
              "               frequency: 5180MHz\r\n"
              "      registered-clients: ";
    r.number(static_cast<int>(shape_.stations.size()));
    r.marks.pop_back();
    r.text += kNl;
    if (!device_->noiseUnknown) {
        r.text += "             ";
        key(r, "noise-floor");
        r.text += ": ";
        r.number(nf);
        r.text += "dBm\r\n";
    }
    r.text += "          overall-tx-ccq: 90%\r\n\r\n";
}

// The registration table: a record per station, wrapping over indented lines; terse, one line each.
void Shell::routerosTable(Reply& r, bool terse) {
    const auto first = rssi();
    const int nf = current()[0];
    const std::string_view wrap = terse ? " " : " \r\n      ";
    r.text += "Flags: A - authenticated, W - WDS, N - nstreme, T - tdma \r\n";
    int row = 0;
    for (const int k : shape_.stations) {
        if (!listed()) continue;
        const auto [local, remote] = levelsOf(k, first);
        record(r, row++, k, " A  ", "=wlan1 ");
        r.text += " ap=no wds=no bridge=no rx-rate=\"130Mbps-20MHz/2S\"";
        r.text += wrap;
        r.text += "tx-rate=\"117Mbps-20MHz/2S\" packets=53423,38422 uptime=1h2m3s last-activity=10ms";
        r.text += wrap;
        key(r, "signal-strength");
        r.text += "=";
        r.number(local);
        r.text += "dBm@6Mbps";
        if (!device_->noiseUnknown) {
            r.text += " ";
            key(r, "signal-to-noise");
            r.text += "=";
            r.number(local - nf);
            r.text += "dB";
        }
        for (const std::string_view side : {"signal-strength-ch", "tx-signal-strength-ch"}) {
            for (int c = 0; c < device_->chains; ++c) {
                r.text += " ";
                r.text += side;
                r.text += static_cast<char>('0' + c);
                r.text += "=";
                r.number(chainLevel(side.front() == 's' ? local : remote));
                r.marks.pop_back();
                r.text += "dBm";
            }
        }
        r.text += wrap;
        key(r, "tx-signal-strength");
        r.text += "=";
        r.number(remote);
        r.text += "dBm tx-ccq=90% p-throughput=95031\r\n";
    }
    r.text += kNl;
}

}  // namespace sim
