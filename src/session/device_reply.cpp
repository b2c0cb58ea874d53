#include "device_reply.h"

#include <functional>
#include <map>

#include <nlohmann/json.hpp>

#include "level_value.h"
#include "text.h"

namespace approbe::session {
namespace {

// The text a name stands for in one unit of a reply (a line, a record, a block, a JSON row).
using Lookup = std::function<std::optional<std::string>(const std::string& name)>;

// Look: a Lookup, or any callable that gives the text (or a view of it) a name stands for.
template <typename Look>
std::optional<int> Level(const FieldSources& sources, const Look& look, bool noise)
{
    for (const FieldSource& s : sources) {
        const auto from = look(s.from);
        if (!from)
            continue;
        if (s.minus.empty()) {
            if (const auto v = LevelValue(*from, noise))
                return v;
            continue;
        }
        const auto minus = look(s.minus);
        const auto a = NumberValue(*from), b = minus ? NumberValue(*minus) : std::nullopt;
        if (a && b) {
            if (const auto v = CheckedLevel(std::int64_t{*a} - *b, noise))
                return v;
        }
    }
    return std::nullopt;
}

// Why sources gave nothing, as seen where they were looked for.
std::string Why(const FieldSources& sources, const Lookup& look)
{
    const FieldSource& s = sources.front();
    for (const std::string& name : {s.from, s.minus}) {
        if (name.empty())
            continue;
        const auto text = look(name);
        if (!text)
            return "'" + name + "' is not in the reply";
        if (!NumberValue(*text))
            return "'" + name + "' gives no number: " + Trim(*text);
    }
    const auto from = look(s.from);
    return "'" + s.from + "' gives no level: " + Trim(*from) + " (a level is -120..0 dBm; a noise floor of 0 is none)";
}

std::optional<MacAddress> Mac(const FieldSources& sources, const Lookup& look)
{
    for (const FieldSource& s : sources) {
        if (const auto text = look(s.from)) {
            if (const auto mac = MacAddress::Parse(Trim(*text)))
                return mac;
        }
    }
    return std::nullopt;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

// The text after label in line: after the MAC address for "{mac}".
std::optional<std::string_view> AfterLabel(std::string_view line, const std::string& label)
{
    if (label == "{mac}") {
        const auto found = FindMac(line);
        return found ? std::optional(line.substr(found->end)) : std::nullopt;
    }
    const auto at = line.find(label);
    return at == std::string_view::npos ? std::nullopt : std::optional(line.substr(at + label.size()));
}

// The first of lines that holds name.
Lookup InLines(const std::vector<std::string>& lines, std::size_t from = 0, std::size_t to = std::string::npos)
{
    return [&lines, from, to](const std::string& name) -> std::optional<std::string> {
        for (std::size_t i = from; i < std::min(to, lines.size()); ++i) {
            if (const auto v = AfterLabel(lines[i], name))
                return std::string(*v);
        }
        return std::nullopt;
    };
}

// The fields a reply was meant to give and did not, with why.
void NoteMissing(ReplyReading& out, const PollCommand& poll, const Lookup& look, const Lookup& noiseLook = {})
{
    auto rowsHave = [&out](auto member) {
        for (const StationRow& r : out.rows) {
            if (r.*member)
                return true;
        }
        return false;
    };
    if (!poll.noise.empty() && !out.noise)
        out.missing.push_back("noise: " + Why(poll.noise, noiseLook ? noiseLook : look));
    if (!poll.local.empty() && !rowsHave(&StationRow::local))
        out.missing.push_back("local RSSI: " + Why(poll.local, look));
    if (!poll.remote.empty() && !rowsHave(&StationRow::remote))
        out.missing.push_back("remote RSSI: " + Why(poll.remote, look));
}

void AddRow(ReplyReading& out, const StationRow& row)
{
    if ((row.mac || row.local || row.remote) && out.rows.size() < PollReading::kMaxRows)
        out.rows.push_back(row);
}

ReplyReading ReadLines(const DeviceType& type, const PollCommand& poll, const std::vector<std::string>& lines)
{
    ReplyReading out;
    PollReading reading;
    for (const std::string& line : lines) {
        if (const auto r = reading.Add(ScanLabelled(type, poll, line)); r && r->noise)
            out.noise = r->noise;
    }
    out.rows = reading.rows();
    NoteMissing(out, poll, InLines(lines));
    return out;
}

// "key=value key2="a b"": the pairs of one line of a record.
void TakePairs(std::string_view line, std::map<std::string, std::string>& into)
{
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && IsBlank(line[i]))
            ++i;
        const std::size_t start = i;
        while (i < line.size() && !IsBlank(line[i]) && line[i] != '=')
            ++i;
        if (i >= line.size() || line[i] != '=') {
            while (i < line.size() && !IsBlank(line[i]))
                ++i;
            continue;
        }
        const std::string key(line.substr(start, i - start));
        std::string value;
        if (++i < line.size() && line[i] == '"') {
            const std::size_t close = line.find('"', i + 1);
            value = line.substr(i + 1, close == std::string_view::npos ? std::string_view::npos : close - i - 1);
            i = close == std::string_view::npos ? line.size() : close + 1;
        } else {
            const std::size_t from = i;
            while (i < line.size() && !IsBlank(line[i]))
                ++i;
            value = line.substr(from, i - from);
        }
        into.emplace(key, std::move(value));
    }
}

// A record begins at a line whose first word is its number ("0", " 1 A ").
bool StartsRecord(std::string_view line)
{
    std::size_t i = 0;
    while (i < line.size() && IsBlank(line[i]))
        ++i;
    const std::size_t digits = i;
    while (i < line.size() && line[i] >= '0' && line[i] <= '9')
        ++i;
    return i > digits && (i == line.size() || IsBlank(line[i]));
}

ReplyReading ReadRecords(const PollCommand& poll, const std::vector<std::string>& lines)
{
    std::vector<std::map<std::string, std::string>> records;
    for (const std::string& line : lines) {
        const bool hasPair = line.find('=') != std::string::npos;
        if (StartsRecord(line) || (records.empty() && hasPair))
            records.emplace_back();
        if (!records.empty())
            TakePairs(line, records.back());
    }
    ReplyReading out;
    for (const auto& record : records) {
        const Lookup look = [&record](const std::string& key) -> std::optional<std::string> {
            const auto it = record.find(key);
            return it == record.end() ? std::nullopt : std::optional<std::string>(it->second);
        };
        if (!out.noise)
            out.noise = Level(poll.noise, look, true);
        AddRow(out, {Mac(poll.station, look), Level(poll.local, look, false), Level(poll.remote, look, false)});
    }
    static const std::map<std::string, std::string> kNone;
    NoteMissing(out, poll, [&records](const std::string& key) -> std::optional<std::string> {
        const auto& first = records.empty() ? kNone : records.front();
        const auto it = first.find(key);
        return it == first.end() ? std::nullopt : std::optional<std::string>(it->second);
    });
    return out;
}

ReplyReading ReadBlocks(const PollCommand& poll, const std::vector<std::string>& lines)
{
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (TrimmedView(lines[i]).rfind(poll.rows, 0) == 0)
            starts.push_back(i);
    }
    ReplyReading out;
    std::vector<int> noises;
    std::size_t marked = 0;
    for (std::size_t b = 0; b < starts.size(); ++b) {
        const std::size_t from = starts[b], to = b + 1 < starts.size() ? starts[b + 1] : lines.size();
        if (!poll.mark.empty() && !InLines(lines, from, to)(poll.mark))
            continue;
        ++marked;
        const Lookup look = InLines(lines, from, to);
        if (const auto noise = Level(poll.noise, look, true))
            noises.push_back(*noise);
        const auto mac = FindMac(lines[from]);
        AddRow(out, {mac ? std::optional(mac->mac) : std::nullopt, Level(poll.local, look, false),
                     Level(poll.remote, look, false)});
    }
    // The noise floor of one block only: of several, which one is meant is not known.
    if (noises.size() == 1)
        out.noise = noises.front();
    const Lookup first = starts.empty() ? InLines(lines, 0, 0) : InLines(lines, starts.front());
    NoteMissing(out, poll, first);
    if (!poll.noise.empty() && !out.noise && !out.missing.empty()) {
        const std::string which = poll.mark.empty() ? "'" + poll.rows + "'" : "'" + poll.mark + "'";
        if (marked == 0)
            out.missing.front() = std::string("noise: no block ") + (poll.mark.empty() ? "begins with " : "holds ") + which;
        else if (noises.size() > 1)
            out.missing.front() = "noise: " + std::to_string(noises.size()) + " blocks give one (" + which + "), which is meant is not known";
    }
    return out;
}

// The value at a dotted path ("wireless.sta", "remote.signal"; a number indexes a list).
const nlohmann::json* At(const nlohmann::json& doc, std::string_view path)
{
    const nlohmann::json* at = &doc;
    while (!path.empty() && at) {
        const auto dot = path.find('.');
        const std::string part(path.substr(0, dot));
        path = dot == std::string_view::npos ? std::string_view{} : path.substr(dot + 1);
        if (at->is_object()) {
            const auto it = at->find(part);
            at = it == at->end() ? nullptr : &*it;
        } else if (at->is_array() && !part.empty() && part.find_first_not_of("0123456789") == std::string::npos &&
                   std::stoul(part) < at->size()) {
            at = &(*at)[std::stoul(part)];
        } else {
            at = nullptr;
        }
    }
    return at;
}

Lookup InJson(const nlohmann::json& unit)
{
    return [&unit](const std::string& path) -> std::optional<std::string> {
        const nlohmann::json* v = At(unit, path);
        if (!v || v->is_null() || v->is_object() || v->is_array())
            return std::nullopt;
        return v->is_string() ? v->get<std::string>() : v->dump();
    };
}

ReplyReading ReadJson(const PollCommand& poll, const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines) {
        // Whatever comes before the document (a "Content-Type:" header) is not part of it.
        const auto first = text.empty() ? line.find_first_of("{[") : 0;
        if (first != std::string::npos)
            text += line.substr(first) + "\n";
    }
    ReplyReading out;
    const nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
    if (doc.is_discarded()) {
        out.fault = text.empty() ? "no JSON document in the reply" : "the reply's JSON does not parse";
        return out;
    }
    out.noise = Level(poll.noise, InJson(doc), true);
    // The rows: each entry of the list, or the object that would hold a missing list.
    std::vector<const nlohmann::json*> rows{&doc};
    std::string listPath = poll.rows;
    if (listPath.size() >= 2 && listPath.compare(listPath.size() - 2, 2, "[]") == 0)
        listPath.resize(listPath.size() - 2);
    if (!listPath.empty()) {
        const auto dot = listPath.rfind('.');
        const nlohmann::json* list = At(doc, listPath);
        const nlohmann::json* holder = dot == std::string::npos ? &doc : At(doc, std::string_view(listPath).substr(0, dot));
        rows.clear();
        if (list && list->is_array()) {
            for (const nlohmann::json& entry : *list)
                rows.push_back(&entry);
        } else if (!list && holder) {
            rows.push_back(holder);
        }
    }
    for (const nlohmann::json* row : rows) {
        const Lookup look = InJson(*row);
        AddRow(out, {Mac(poll.station, look), Level(poll.local, look, false), Level(poll.remote, look, false)});
    }
    // The noise is looked for in the whole document, the rest in the first row.
    static const nlohmann::json kEmpty = nlohmann::json::object();
    NoteMissing(out, poll, InJson(rows.empty() ? kEmpty : *rows.front()), InJson(doc));
    return out;
}

bool MatchesAny(const std::vector<std::string>& patterns, std::string_view line)
{
    for (const std::string& p : patterns) {
        if (MatchPattern(p, line))
            return true;
    }
    return false;
}

} // namespace

LineLevels ScanLabelled(const DeviceType& type, const PollCommand& poll, std::string_view line)
{
    LineLevels l;
    if (type.levelsAsWritten) {
        // Read up to a zero, as atoi reads: a line of the usual length is copied to the stack,
        // not the heap (every line of every poll comes here).
        char shortLine[512];
        std::string longLine;
        const char* text = shortLine;
        if (line.size() < sizeof shortLine) {
            line.copy(shortLine, line.size());
            shortLine[line.size()] = '\0';
        } else {
            longLine.assign(line);
            text = longLine.c_str();
        }
        auto first = [text](const FieldSources& sources) -> std::optional<int> {
            for (const FieldSource& s : sources) {
                if (const auto v = LabelledNumber(text, s.from.c_str()))
                    return v;
            }
            return std::nullopt;
        };
        l.noise = first(poll.noise);
        l.local = first(poll.local);
        l.remote = first(poll.remote);
        if (l.local || l.remote) {
            if (const auto found = FindMac(text))
                l.mac = found->mac;
        }
        return l;
    }
    std::string clean; // made only for a line with escapes: most have none
    if (line.find('\x1b') != std::string_view::npos) {
        clean = WithoutEscapes(line);
        line = clean;
    }
    // Views of the line, not copies, and no std::function: every line of a reply comes here.
    const auto look = [line](const std::string& label) { return AfterLabel(line, label); };
    l.noise = Level(poll.noise, look, true);
    l.local = Level(poll.local, look, false);
    l.remote = Level(poll.remote, look, false);
    if (l.local || l.remote) {
        if (const auto found = FindMac(line))
            l.mac = found->mac;
    }
    return l;
}

std::vector<std::string> ReplyLines(const DeviceType& type, std::string_view reply, const std::vector<std::string>& sent)
{
    const std::string text = type.levelsAsWritten ? std::string(reply) : WithoutEscapes(reply);
    std::vector<std::string> commands;
    for (const std::string& s : sent)
        if (std::string command = Trim(s); !command.empty())
            commands.push_back(std::move(command));
    // A command's echo, after the prompt or alone.
    const auto isEcho = [&](std::string_view trimmed) {
        for (const std::string& command : commands) {
            if (trimmed.size() >= command.size() &&
                trimmed.compare(trimmed.size() - command.size(), command.size(), command) == 0 &&
                (trimmed.size() == command.size() ||
                 MatchesAny(type.shellPrompts, trimmed.substr(0, trimmed.size() - command.size()))))
                return true;
        }
        return false;
    };
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = LineEnd(text, start);
        const std::string_view line = std::string_view(text).substr(start, end - start);
        start = end + 1;
        const std::string_view trimmed = TrimmedView(line);
        if (trimmed.empty() || isEcho(trimmed) || MatchesAny(type.shellPrompts, trimmed))
            continue;
        bool pager = false;
        for (const PagerPrompt& p : type.pagers)
            pager |= MatchPattern(p.pattern, trimmed);
        if (!pager)
            lines.emplace_back(line);
    }
    return lines;
}

ReplyReading ReadReply(const DeviceType& type, const PollCommand& poll, std::string_view reply)
{
    // A poll's commands go out together, and a terminal that echoes input as it comes (a shell
    // reading a line at a time) shows every one of them before the first reply.
    std::vector<std::string> sent;
    for (const PollCommand& p : type.polls)
        sent.push_back(type.Expand(p.command));
    const std::vector<std::string> lines = ReplyLines(type, reply, sent);
    switch (poll.style) {
    case ReplyStyle::Lines: return ReadLines(type, poll, lines);
    case ReplyStyle::Records: return ReadRecords(poll, lines);
    case ReplyStyle::Blocks: return ReadBlocks(poll, lines);
    case ReplyStyle::Json: return ReadJson(poll, lines);
    }
    return {};
}

Reading CombineReplies(const std::vector<ReplyReading>& replies)
{
    Reading all;
    for (const ReplyReading& r : replies) {
        if (!all.noise)
            all.noise = r.noise;
        for (const StationRow& row : r.rows) {
            if (all.stations.size() < PollReading::kMaxRows)
                all.stations.push_back(row);
        }
    }
    if (!all.stations.empty()) {
        all.row = 0;
        all.local = all.rowLocal = all.stations.front().local;
        all.remote = all.rowRemote = all.stations.front().remote;
    }
    return all;
}

std::vector<std::string> ExplainMissing(const DeviceType& type, const std::vector<ReplyReading>& replies,
                                        const Reading& reading)
{
    struct Field {
        const char* name;
        bool present;
        FieldSources PollCommand::*sources;
    };
    std::vector<std::string> out;
    for (const Field& f : {Field{"noise", reading.noise.has_value(), &PollCommand::noise},
                           Field{"local RSSI", reading.local.has_value(), &PollCommand::local},
                           Field{"remote RSSI", reading.remote.has_value(), &PollCommand::remote}}) {
        if (f.present)
            continue;
        const std::string prefix = std::string(f.name) + ": ";
        bool given = false;
        for (const PollCommand& p : type.polls)
            given |= !(p.*f.sources).empty();
        if (!given)
            out.push_back(prefix + type.name + " gives none");
        for (const ReplyReading& r : replies) {
            for (const std::string& note : r.missing) {
                if (note.rfind(prefix, 0) == 0)
                    out.push_back(note);
            }
        }
    }
    for (const ReplyReading& r : replies) {
        if (!r.fault.empty())
            out.push_back(r.fault);
    }
    return out;
}

std::string FindInterface(const DeviceType& type, std::string_view reply)
{
    const std::string& shape = type.interfaceLine;
    const auto slot = shape.find("{}");
    if (slot == std::string::npos)
        return {};
    const std::string glob = shape.substr(0, slot) + "*" + shape.substr(slot + 2);
    for (const std::string& raw : ReplyLines(type, reply, {type.interfaceQuery})) {
        std::string line;
        for (char c : Trim(raw)) {
            if (!(IsBlank(c) && !line.empty() && line.back() == ' '))
                line += IsBlank(c) ? ' ' : c;
        }
        if (!MatchPattern(glob, line))
            continue;
        const std::string name = line.substr(slot, line.find(' ', slot) - slot);
        if (!name.empty())
            return name;
    }
    return {};
}

} // namespace approbe::session
