#include "script.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <map>

namespace sim {

std::string escapeBytes(std::string_view bytes) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size());
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\0': out += "\\0"; break;
        case '\\': out += "\\\\"; break;
        default:
            if (c >= 0x20 && c < 0x7f && c != '"') {
                out += ch;
            } else {
                out += "\\x";
                out += hex[c >> 4];
                out += hex[c & 15];
            }
        }
    }
    return out;
}

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string_view trim(std::string_view s) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

namespace {

std::vector<std::string_view> words(std::string_view s) {
    std::vector<std::string_view> out;
    for (;;) {
        s = trim(s);
        if (s.empty()) return out;
        const auto end = s.find_first_of(" \t");
        out.push_back(s.substr(0, end));
        if (end == std::string_view::npos) return out;
        s.remove_prefix(end);
    }
}

bool parseNumber(std::string_view word, long long lo, long long hi, long long& value) {
    const auto* end = word.data() + word.size();
    const auto res = std::from_chars(word.data(), end, value);
    return res.ec == std::errc() && res.ptr == end && value >= lo && value <= hi;
}

}  // namespace

std::optional<std::string> unescape(std::string_view text, std::string& why) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) {
            why = "lone backslash at end of text";
            return std::nullopt;
        }
        switch (text[i]) {
        case 'r': out += '\r'; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case '0': out += '\0'; break;
        case '\\': out += '\\'; break;
        case 'x': {
            const int hi = i + 1 < text.size() ? hexValue(text[i + 1]) : -1;
            const int lo = i + 2 < text.size() ? hexValue(text[i + 2]) : -1;
            if (hi < 0 || lo < 0) {
                why = "\\x needs two hex digits";
                return std::nullopt;
            }
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
            break;
        }
        default:
            why = std::string("unknown escape \\") + text[i];
            return std::nullopt;
        }
    }
    return out;
}

std::optional<Negotiation> parseNegotiation(std::string_view text) {
    if (text == "none") return Negotiation::None;
    if (text == "eager") return Negotiation::Eager;
    if (text == "strict") return Negotiation::Strict;
    return std::nullopt;
}

std::optional<std::vector<int>> parseStationOrder(std::string_view text, int count) {
    std::vector<int> order;
    for (int k = 1; k <= count; ++k) order.push_back(k);
    if (text == "first") return order;
    if (text == "reversed") return std::vector<int>(order.rbegin(), order.rend());
    std::vector<int> listed;
    for (;;) {
        const auto comma = text.find(',');
        long long k = 0;
        if (!parseNumber(text.substr(0, comma), 1, count, k)) return std::nullopt;
        listed.push_back(static_cast<int>(k));
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    if (!std::is_permutation(listed.begin(), listed.end(), order.begin(), order.end())) return std::nullopt;
    return listed;
}

std::vector<Step> loadScript(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ScriptError("cannot read script " + path + ": " + std::strerror(errno));

    struct Shape {
        Op op;
        enum { None, Text, Numbers, OnOff, Mode, StationList } args;
        int count;  // how many numbers
        long long lo, hi;
    };
    static const std::map<std::string_view, Shape> shapes = {
        {"send", {Op::Send, Shape::Text, 0, 0, 0}},
        {"expect", {Op::Expect, Shape::Text, 0, 0, 0}},
        {"reply", {Op::Reply, Shape::Text, 0, 0, 0}},
        {"login", {Op::Login, Shape::None, 0, 0, 0}},
        {"shell", {Op::Shell, Shape::None, 0, 0, 0}},
        {"close", {Op::Close, Shape::None, 0, 0, 0}},
        {"reset", {Op::Reset, Shape::None, 0, 0, 0}},
        {"silent", {Op::Silent, Shape::None, 0, 0, 0}},
        {"values", {Op::Values, Shape::Numbers, 3, -1000, 1000}},
        {"replies", {Op::Replies, Shape::Numbers, 1, 0, 1'000'000'000}},
        {"sleep", {Op::Sleep, Shape::Numbers, 1, 0, 3'600'000}},
        {"flood", {Op::Flood, Shape::Numbers, 1, 1, 1'000'000'000}},
        {"bytewise", {Op::Bytewise, Shape::OnOff, 0, 0, 0}},
        {"negotiate", {Op::Negotiate, Shape::Mode, 0, 0, 0}},
        {"echo", {Op::Echo, Shape::OnOff, 0, 0, 0}},
        {"faildelay", {Op::FailDelay, Shape::Numbers, 1, 0, 3'600'000}},
        {"tries", {Op::Tries, Shape::Numbers, 1, 1, 1'000'000}},
        {"lastlogin", {Op::LastLogin, Shape::OnOff, 0, 0, 0}},
        {"pieces", {Op::Pieces, Shape::Numbers, 2, 0, kMaxPieceGapMs}},
        {"stations", {Op::Stations, Shape::StationList, 0, 0, 0}},
        {"droprows", {Op::DropRows, Shape::Numbers, 1, 0, 100}},
    };

    std::vector<Step> steps;
    std::string raw;
    for (int lineNo = 1; std::getline(in, raw); ++lineNo) {
        const auto fail = [&](const std::string& why) {
            throw ScriptError(path + ":" + std::to_string(lineNo) + ": " + why);
        };
        const std::string_view line = trim(raw);
        if (line.empty() || line.front() == '#') continue;
        const auto split = line.find_first_of(" \t");
        const std::string_view name = line.substr(0, split);
        const std::string_view rest = split == std::string_view::npos ? "" : trim(line.substr(split));
        const auto it = shapes.find(name);
        if (it == shapes.end()) fail("unknown directive '" + std::string(name) + "'");
        const Shape& shape = it->second;
        Step step{shape.op, {}, {}, {}};
        switch (shape.args) {
        case Shape::None:
            if (!rest.empty()) fail(std::string(name) + " takes no argument");
            break;
        case Shape::Text: {
            // An empty reply is allowed (answer with nothing); empty send/expect is a mistake.
            if (rest.empty() && shape.op != Op::Reply) fail(std::string(name) + " needs a text");
            std::string why;
            auto text = unescape(rest, why);
            if (!text) fail(why);
            step.text = std::move(*text);
            break;
        }
        case Shape::Numbers: {
            const auto args = words(rest);
            if (static_cast<int>(args.size()) != shape.count)
                fail(std::string(name) + " needs " + std::to_string(shape.count) + " number(s)");
            for (int k = 0; k < shape.count; ++k)
                if (!parseNumber(args[k], shape.lo, shape.hi, step.num[k]))
                    fail("bad number '" + std::string(args[k]) + "' for " + std::string(name) + " (" +
                         std::to_string(shape.lo) + ".." + std::to_string(shape.hi) + ")");
            if (shape.op == Op::Pieces && (step.num[0] < 1 || step.num[0] > kMaxPieces))
                fail("pieces needs 1.." + std::to_string(kMaxPieces) + " pieces");
            break;
        }
        case Shape::OnOff:
            if (rest != "on" && rest != "off") fail(std::string(name) + " needs on or off");
            step.num[0] = rest == "on" ? 1 : 0;
            break;
        case Shape::Mode: {
            const auto mode = parseNegotiation(rest);
            if (!mode) fail("negotiate needs none, eager or strict");
            step.num[0] = static_cast<long long>(*mode);
            break;
        }
        case Shape::StationList: {
            const auto args = words(rest);
            long long count = 0;
            if (args.empty() || args.size() > 2 || !parseNumber(args[0], 1, kMaxStations, count))
                fail("stations needs 1.." + std::to_string(kMaxStations) + " and an optional order");
            auto order = parseStationOrder(args.size() == 2 ? args[1] : "first", static_cast<int>(count));
            if (!order) fail("station order needs first, reversed or a list naming each of 1.." +
                             std::to_string(count) + " once");
            step.order = std::move(*order);
            break;
        }
        }
        steps.push_back(std::move(step));
    }
    if (in.bad()) throw ScriptError("cannot read script " + path);
    return steps;
}

}  // namespace sim
