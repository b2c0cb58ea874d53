#include "reading.h"

#include <cstring>

#include "text.h"

namespace approbe::session {
namespace {

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

constexpr std::size_t kMacLength = 17; // "hh:hh:hh:hh:hh:hh"

} // namespace

std::optional<MacAddress> MacAddress::Parse(std::string_view text)
{
    if (text.size() != kMacLength || (text[2] != ':' && text[2] != '-'))
        return std::nullopt;
    MacAddress mac;
    for (std::size_t i = 0; i < 6; ++i) {
        const int hi = HexValue(text[3 * i]), lo = HexValue(text[3 * i + 1]);
        if (hi < 0 || lo < 0 || (i < 5 && text[3 * i + 2] != text[2]))
            return std::nullopt;
        mac.m_bytes[i] = static_cast<std::uint8_t>(hi * 16 + lo);
    }
    return mac;
}

std::string MacAddress::ToString() const
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(kMacLength);
    for (std::size_t i = 0; i < 6; ++i) {
        if (i)
            out += ':';
        out += kHex[m_bytes[i] >> 4];
        out += kHex[m_bytes[i] & 0xF];
    }
    return out;
}

std::optional<MacInLine> FindMac(std::string_view line)
{
    auto joins = [](char c) { return HexValue(c) >= 0 || c == ':' || c == '-'; };
    // A plain loop: find_first_of asks memchr about the two separators at every character.
    for (std::size_t sep = 2; sep < line.size(); ++sep) {
        if (line[sep] != ':' && line[sep] != '-')
            continue;
        const std::size_t start = sep - 2, end = start + kMacLength;
        if ((start > 0 && joins(line[start - 1])) || end > line.size() || (end < line.size() && joins(line[end])))
            continue;
        if (auto mac = MacAddress::Parse(line.substr(start, kMacLength)))
            return MacInLine{*mac, end};
    }
    return std::nullopt;
}

std::optional<int> LabelledNumber(const char* text, const char* label)
{
    const char* at = std::strstr(text, label);
    if (!at)
        return std::nullopt;
    const char* after = at + std::strlen(label);
    if (!*after)
        return std::nullopt;
    const char* p = after + 1;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    if (*p == '+' || *p == '-')
        ++p;
    if (*p < '0' || *p > '9')
        return std::nullopt;
    return ParseInt(after + 1);
}

LineLevels ScanLine(const char* line)
{
    LineLevels l;
    l.noise = LabelledNumber(line, "Level:");
    l.local = LabelledNumber(line, "Local RSSI level:");
    l.remote = LabelledNumber(line, "Remote RSSI level:");
    if (l.local || l.remote) {
        if (const auto found = FindMac(line))
            l.mac = found->mac;
    }
    return l;
}

std::optional<Reading> PollReading::Add(const LineLevels& l)
{
    Reading r;
    if (l.noise && !m_noise) {
        r.noise = l.noise;
        m_noise = true;
    }
    if (l.local || l.remote) {
        const bool completes = !m_rows.empty() && !(l.local && m_rows.back().local) &&
                               !(l.remote && m_rows.back().remote) && !(l.mac && m_rows.back().mac);
        if (completes || m_rows.size() < kMaxRows) {
            if (!completes)
                m_rows.emplace_back();
            StationRow& row = m_rows.back();
            if (l.mac)
                row.mac = l.mac;
            if (l.local)
                row.local = l.local;
            if (l.remote)
                row.remote = l.remote;
            r.row = static_cast<int>(m_rows.size() - 1);
            r.rowLocal = l.local;
            r.rowRemote = l.remote;
            if (r.row == 0) {
                r.local = l.local;
                r.remote = l.remote;
            }
        }
    }
    if (!r.brings())
        return std::nullopt;
    r.stations = m_rows;
    return r;
}

Reading ParseReading(const char* text)
{
    PollReading poll;
    Reading all;
    std::string line;
    for (const char* p = text;; ++p) {
        if (*p && *p != '\r' && *p != '\n') {
            line += *p;
            continue;
        }
        if (const auto r = poll.Add(line.c_str())) {
            if (r->noise)
                all.noise = r->noise;
        }
        line.clear();
        if (!*p)
            break;
    }
    all.stations = poll.rows();
    if (!all.stations.empty()) {
        all.row = 0;
        all.local = all.rowLocal = all.stations.front().local;
        all.remote = all.rowRemote = all.stations.front().remote;
    }
    return all;
}

Reading FollowedStation(const Reading& reading, const std::optional<MacAddress>& mac)
{
    Reading r = reading;
    if (!mac)
        return r;
    int index = -1;
    for (std::size_t i = 0; i < r.stations.size() && index < 0; ++i) {
        if (r.stations[i].mac == mac)
            index = static_cast<int>(i);
    }
    const bool brought = index >= 0 && index == r.row;
    r.local = brought ? r.rowLocal : std::nullopt;
    r.remote = brought ? r.rowRemote : std::nullopt;
    return r;
}

} // namespace approbe::session
