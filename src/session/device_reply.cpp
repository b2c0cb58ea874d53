#include "device_reply.h"

#include <charconv>
#include <type_traits>

#include <nlohmann/json.hpp>

#include "level_value.h"
#include "text.h"

namespace approbe::session {
namespace {

// The text a name stands for in one unit of a reply (a line, a record, a block, a JSON row): any
// callable from a name to an optional view of its text. None copies: every poll's replies come here.
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
template <typename Look>
std::string Why(const FieldSources& sources, const Look& look)
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

template <typename Look>
std::optional<MacAddress> Mac(const FieldSources& sources, const Look& look)
{
    for (const FieldSource& s : sources) {
        if (const auto text = look(s.from)) {
            if (const auto mac = MacAddress::Parse(TrimmedView(*text)))
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

using Lines = std::vector<std::string_view>;

// The first of lines [from, to) that holds name.
auto InLines(const Lines& lines, std::size_t from = 0, std::size_t to = std::string::npos)
{
    return [&lines, from, to](const std::string& name) -> std::optional<std::string_view> {
        for (std::size_t i = from; i < std::min(to, lines.size()); ++i) {
            if (const auto v = AfterLabel(lines[i], name))
                return v;
        }
        return std::nullopt;
    };
}

// The fields a reply was meant to give and did not, with why; the noise as noiseLook finds it.
template <typename Look, typename NoiseLook>
void NoteMissing(ReplyReading& out, const PollCommand& poll, const Look& look, const NoiseLook& noiseLook)
{
    auto rowsHave = [&out](auto member) {
        for (const StationRow& r : out.rows) {
            if (r.*member)
                return true;
        }
        return false;
    };
    if (!poll.noise.empty() && !out.noise)
        out.missing.push_back("noise: " + Why(poll.noise, noiseLook));
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

ReplyReading ReadLines(const DeviceType& type, const PollCommand& poll, const Lines& lines, bool explain)
{
    ReplyReading out;
    PollReading reading;
    for (const std::string_view line : lines) {
        if (const auto r = reading.Add(ScanLabelled(type, poll, line)); r && r->noise)
            out.noise = r->noise;
    }
    out.rows = reading.rows();
    if (explain)
        NoteMissing(out, poll, InLines(lines), InLines(lines));
    return out;
}

// A record's key=value pairs, as views of the reply's lines; of a key given twice, the first counts.
struct Pair {
    std::string_view key, value;
};

// "key=value key2="a b"": the pairs of one line of a record.
void TakePairs(std::string_view line, std::vector<Pair>& into)
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
        const std::string_view key = line.substr(start, i - start);
        std::string_view value;
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
        into.push_back({key, value});
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

ReplyReading ReadRecords(const PollCommand& poll, const Lines& lines, bool explain)
{
    // Every record's pairs in one list, kept by the thread: a record is [starts[r], starts[r + 1]).
    thread_local std::vector<Pair> pairs;
    thread_local std::vector<std::size_t> starts;
    pairs.clear();
    starts.clear();
    for (const std::string_view line : lines) {
        if (StartsRecord(line) || (starts.empty() && line.find('=') != std::string_view::npos))
            starts.push_back(pairs.size());
        if (!starts.empty())
            TakePairs(line, pairs);
    }
    const auto inRecord = [](std::size_t r) {
        return [from = starts[r], to = r + 1 < starts.size() ? starts[r + 1] : pairs.size()](
                   const std::string& key) -> std::optional<std::string_view> {
            for (std::size_t i = from; i < to; ++i) {
                if (pairs[i].key == key)
                    return pairs[i].value;
            }
            return std::nullopt;
        };
    };
    ReplyReading out;
    for (std::size_t r = 0; r < starts.size(); ++r) {
        const auto look = inRecord(r);
        if (!out.noise)
            out.noise = Level(poll.noise, look, true);
        AddRow(out, {Mac(poll.station, look), Level(poll.local, look, false), Level(poll.remote, look, false)});
    }
    const auto first = [&inRecord](const std::string& key) -> std::optional<std::string_view> {
        return starts.empty() ? std::nullopt : inRecord(0)(key);
    };
    if (explain)
        NoteMissing(out, poll, first, first);
    return out;
}

ReplyReading ReadBlocks(const PollCommand& poll, const Lines& lines, bool explain)
{
    thread_local std::vector<std::size_t> starts;
    starts.clear();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (TrimmedView(lines[i]).rfind(poll.rows, 0) == 0)
            starts.push_back(i);
    }
    ReplyReading out;
    std::optional<int> noise;
    std::size_t noises = 0, marked = 0;
    for (std::size_t b = 0; b < starts.size(); ++b) {
        const std::size_t from = starts[b], to = b + 1 < starts.size() ? starts[b + 1] : lines.size();
        const auto look = InLines(lines, from, to);
        if (!poll.mark.empty() && !look(poll.mark))
            continue;
        ++marked;
        if (const auto v = Level(poll.noise, look, true)) {
            noise = v;
            ++noises;
        }
        const auto mac = FindMac(lines[from]);
        AddRow(out, {mac ? std::optional(mac->mac) : std::nullopt, Level(poll.local, look, false),
                     Level(poll.remote, look, false)});
    }
    // The noise floor of one block only: of several, which one is meant is not known.
    if (noises == 1)
        out.noise = noise;
    const auto first = starts.empty() ? InLines(lines, 0, 0) : InLines(lines, starts.front());
    if (explain)
        NoteMissing(out, poll, first, first);
    if (!poll.noise.empty() && !out.noise && !out.missing.empty()) {
        const std::string which = poll.mark.empty() ? "'" + poll.rows + "'" : "'" + poll.mark + "'";
        if (marked == 0)
            out.missing.front() = std::string("noise: no block ") + (poll.mark.empty() ? "begins with " : "holds ") + which;
        else if (noises > 1)
            out.missing.front() = "noise: " + std::to_string(noises) + " blocks give one (" + which + "), which is meant is not known";
    }
    return out;
}

// How many parts a dotted path has, read as JsonRows reads it ("a.b" 2, "a." 1, "" 0), and its last.
std::size_t PathParts(std::string_view path, std::string_view* last = nullptr)
{
    std::size_t n = 0;
    while (!path.empty()) {
        const auto dot = path.find('.');
        if (last)
            *last = path.substr(0, dot);
        path = dot == std::string_view::npos ? std::string_view{} : path.substr(dot + 1);
        ++n;
    }
    return n;
}

// A value a JSON path names, as text: a string's own text, a number or true/false as written out;
// null, an object or a list give none.
struct JsonValue {
    std::string_view base, name; // the path: base's parts, then name's
    std::size_t parts = 0;
    std::string_view last; // the last part: most values are told apart by it at once
    bool has = false;
    std::string text;
};

// Reads a JSON document for the values a poll command names, through nlohmann's SAX parser: no
// document is built and nothing else is kept (a status is read whole at every poll). The noise
// paths are taken from the top; the rows are the entries of the rows list, or, where the list is
// missing, the object that would hold it. Of a key given twice, the last counts.
class JsonRows final : public nlohmann::json::json_sax_t {
public:
    JsonRows(const PollCommand& poll, std::string_view list, std::string_view holder)
        : m_poll(poll), m_list(list), m_holder(holder), m_listParts(PathParts(list)), m_holderParts(PathParts(holder))
    {
        m_holderSeen = holder.empty();
        Want(m_top, {&poll.noise}, {});
        Want(m_holderRow, {&poll.station, &poll.local, &poll.remote}, holder);
    }

    // The value at a path from the top (the noise's).
    std::optional<std::string_view> Top(const std::string& name) const { return Find(m_top, name); }
    // The rows: the list's entries, the holder, or none.
    std::size_t Rows() const { return m_listSeen ? (m_listIsArray ? m_entries : 0) : m_holderSeen ? 1 : 0; }
    std::optional<std::string_view> InRow(std::size_t row, const std::string& name) const
    {
        return Find(m_listSeen ? m_rows[row] : m_holderRow, name);
    }

    bool null() override { return Scalar(nullptr); }
    bool boolean(bool v) override { return Scalar(v ? "true" : "false"); }
    bool number_integer(number_integer_t v) override { return Number(v); }
    bool number_unsigned(number_unsigned_t v) override { return Number(v); }
    bool number_float(number_float_t v, const string_t&) override
    {
        // As the value prints: "-59.0" for -59.0, whatever the reply wrote.
        return Scalar(nlohmann::json(v).dump());
    }
    bool string(string_t& v) override { return Scalar(v); }
    bool binary(binary_t&) override { return Scalar(nullptr); }
    bool start_object(std::size_t) override { return Open(false); }
    bool start_array(std::size_t) override { return Open(true); }
    bool end_object() override { return Close(); }
    bool end_array() override { return Close(); }
    bool key(string_t& k) override
    {
        m_frames[m_depth - 1].key = k;
        // A key given again replaces what its first value brought.
        if (m_listSeen && m_depth <= m_listParts && Under(0, m_list, {}))
            m_listSeen = m_listIsArray = false;
        if (!m_holder.empty() && m_holderSeen && m_depth <= m_holderParts && Under(0, m_holder, {}))
            m_holderSeen = false;
        for (auto* values : {&m_top, &m_holderRow}) {
            for (JsonValue& v : *values) {
                if (v.has && m_depth <= v.parts && Under(0, v.base, v.name))
                    v.has = false;
            }
        }
        if (m_inList && m_depth > m_listParts + 1) {
            for (JsonValue& v : m_rows[m_frames[m_listParts].index]) {
                if (v.has && m_depth - m_listParts - 1 <= v.parts && Under(m_listParts + 1, v.base, v.name))
                    v.has = false;
            }
        }
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

private:
    // One level of the path to the value being read: an object's key or a list's index.
    struct Frame {
        bool list = false;
        std::size_t index = 0;
        std::string key;

        bool Is(std::string_view part) const
        {
            if (!list)
                return key == part;
            if (part.empty() || part.size() > 9 || part.find_first_not_of("0123456789") != std::string_view::npos)
                return false;
            std::size_t n = 0;
            for (const char c : part)
                n = n * 10 + static_cast<std::size_t>(c - '0');
            return n == index;
        }
    };

    // Sets values to the names sources give, under base, none found yet. Their texts' buffers are
    // kept: the same names are read at every poll.
    static void Want(std::vector<JsonValue>& values, std::initializer_list<const FieldSources*> sources, std::string_view base)
    {
        std::size_t n = 0;
        for (const FieldSources* list : sources) {
            for (const FieldSource& s : *list) {
                for (const std::string* name : {&s.from, &s.minus}) {
                    if (name->empty())
                        continue;
                    if (n == values.size())
                        values.emplace_back();
                    JsonValue& v = values[n++];
                    v.base = base;
                    v.name = *name;
                    v.parts = PathParts(base) + PathParts(*name, &v.last);
                    v.has = false;
                }
            }
        }
        values.resize(n);
    }

    static std::optional<std::string_view> Find(const std::vector<JsonValue>& values, const std::string& name)
    {
        for (const JsonValue& v : values) {
            if (v.name == name)
                return v.has ? std::optional<std::string_view>(v.text) : std::nullopt;
        }
        return std::nullopt;
    }

    // Whether the frames from `from` up to `to` are the parts of base, then of name: all of them
    // (whole), or the first to - from of a path that may go on.
    bool Walk(std::size_t from, std::size_t to, std::string_view base, std::string_view name, bool whole) const
    {
        std::size_t d = from;
        for (std::string_view path : {base, name}) {
            while (!path.empty()) {
                if (d == to)
                    return !whole;
                const auto dot = path.find('.');
                if (!m_frames[d].Is(path.substr(0, dot)))
                    return false;
                path = dot == std::string_view::npos ? std::string_view{} : path.substr(dot + 1);
                ++d;
            }
        }
        return d == to;
    }
    bool Under(std::size_t from, std::string_view base, std::string_view name) const
    {
        return Walk(from, m_depth, base, name, false);
    }
    bool At(std::size_t from, std::string_view base, std::string_view name) const
    {
        return Walk(from, m_depth, base, name, true);
    }

    bool AtList() const { return !m_list.empty() && m_depth == m_listParts && At(0, m_list, {}); }

    // A value (a scalar, or where a container begins) at the current path; text null for none.
    template <typename Text>
    void Seen(const Text& text)
    {
        const auto take = [&](JsonValue& v) {
            v.has = !std::is_same_v<Text, std::nullptr_t>;
            if constexpr (!std::is_same_v<Text, std::nullptr_t>)
                v.text = text;
        };
        const auto at = [this](const JsonValue& v, std::size_t from) {
            return v.parts == m_depth - from && m_frames[m_depth - 1].Is(v.last) && At(from, v.base, v.name);
        };
        if (m_depth == 0)
            return;
        for (JsonValue& v : m_top) {
            if (at(v, 0))
                take(v);
        }
        if (!m_holderSeen && m_depth == m_holderParts && At(0, m_holder, {}))
            m_holderSeen = true;
        for (JsonValue& v : m_holderRow) {
            if (at(v, 0))
                take(v);
        }
        if (!m_inList)
            return;
        // Inside the list: an entry begins, or a value of the entry being read.
        const std::size_t entry = m_frames[m_listParts].index;
        if (m_depth == m_listParts + 1 && entry == m_entries) {
            if (m_rows.size() == m_entries)
                m_rows.emplace_back();
            Want(m_rows[m_entries++], {&m_poll.station, &m_poll.local, &m_poll.remote}, {});
        }
        for (JsonValue& v : m_rows[entry]) {
            if (at(v, m_listParts + 1))
                take(v);
        }
    }

    template <typename Text>
    bool Scalar(const Text& text)
    {
        if (AtList())
            m_listSeen = true;
        Seen(text);
        Next();
        return true;
    }
    bool Number(auto v)
    {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, v).ptr;
        return Scalar(std::string_view(digits, static_cast<std::size_t>(end - digits)));
    }
    bool Open(bool list)
    {
        bool entering = false;
        if (AtList()) {
            m_listSeen = true;
            m_listIsArray = entering = list;
            m_entries = 0;
        }
        Seen(nullptr);
        if (m_frames.size() == m_depth)
            m_frames.emplace_back();
        m_frames[m_depth].list = list;
        m_frames[m_depth].index = 0;
        ++m_depth;
        m_inList |= entering;
        return true;
    }
    bool Close()
    {
        if (--m_depth == m_listParts)
            m_inList = false;
        Next();
        return true;
    }
    // The next value of a list is its next entry.
    void Next()
    {
        if (m_depth > 0 && m_frames[m_depth - 1].list)
            ++m_frames[m_depth - 1].index;
    }

    const PollCommand& m_poll;
    std::string_view m_list, m_holder;
    std::size_t m_listParts, m_holderParts;
    // Kept by the thread with their buffers: read again at every poll.
    static thread_local std::vector<Frame> m_frames;
    static thread_local std::vector<JsonValue> m_top, m_holderRow;
    static thread_local std::vector<std::vector<JsonValue>> m_rows;
    std::size_t m_depth = 0, m_entries = 0; // the frames in use; the list's entries so far
    bool m_listSeen = false, m_listIsArray = false, m_holderSeen = false;
    bool m_inList = false; // reading the list's entries
};

thread_local std::vector<JsonRows::Frame> JsonRows::m_frames;
thread_local std::vector<JsonValue> JsonRows::m_top, JsonRows::m_holderRow;
thread_local std::vector<std::vector<JsonValue>> JsonRows::m_rows;

ReplyReading ReadJson(const PollCommand& poll, const Lines& lines, bool explain)
{
    thread_local std::string text;
    text.clear();
    for (const std::string_view line : lines) {
        // Whatever comes before the document (a "Content-Type:" header) is not part of it.
        const auto first = text.empty() ? line.find_first_of("{[") : 0;
        if (first != std::string_view::npos)
            text.append(line.substr(first)).append("\n");
    }
    ReplyReading out;
    // The rows: each entry of the list, or the object that would hold a missing list.
    std::string_view list = poll.rows;
    if (list.size() >= 2 && list.substr(list.size() - 2) == "[]")
        list.remove_suffix(2);
    const auto dot = list.rfind('.');
    JsonRows doc(poll, list, dot == std::string_view::npos ? std::string_view{} : list.substr(0, dot));
    if (!nlohmann::json::sax_parse(text, &doc)) {
        out.fault = text.empty() ? "no JSON document in the reply" : "the reply's JSON does not parse";
        return out;
    }
    const auto top = [&doc](const std::string& name) { return doc.Top(name); };
    out.noise = Level(poll.noise, top, true);
    for (std::size_t r = 0; r < doc.Rows(); ++r) {
        const auto look = [&doc, r](const std::string& name) { return doc.InRow(r, name); };
        AddRow(out, {Mac(poll.station, look), Level(poll.local, look, false), Level(poll.remote, look, false)});
    }
    // The noise is looked for in the whole document, the rest in the first row.
    const auto first = [&doc](const std::string& name) {
        return doc.Rows() ? doc.InRow(0, name) : std::optional<std::string_view>{};
    };
    if (explain)
        NoteMissing(out, poll, first, top);
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

namespace {

// The reply's lines as ReplyLines gives them, as views of reply or, when escapes had to go, of
// clean.
void TakeReplyLines(const DeviceType& type, std::string_view reply, const std::vector<std::string>& sent,
                    std::string& clean, Lines& lines)
{
    lines.clear();
    std::string_view text = reply;
    if (!type.levelsAsWritten && reply.find('\x1b') != std::string_view::npos) {
        clean = WithoutEscapes(reply);
        text = clean;
    }
    // A command's echo, after the prompt or alone.
    const auto isEcho = [&](std::string_view trimmed) {
        for (const std::string& s : sent) {
            const std::string_view command = TrimmedView(s);
            if (!command.empty() && trimmed.size() >= command.size() &&
                trimmed.substr(trimmed.size() - command.size()) == command &&
                (trimmed.size() == command.size() ||
                 MatchesAny(type.shellPrompts, trimmed.substr(0, trimmed.size() - command.size()))))
                return true;
        }
        return false;
    };
    // The last characters a prompt or an echo can end with: a line that ends otherwise is neither,
    // told at once (most are). Empty when a prompt may end with any.
    char ends[32];
    std::size_t endCount = 0;
    bool anyEnd = false;
    for (const std::string& p : type.shellPrompts) {
        anyEnd |= p.empty() || p.back() == '*' || p.back() == '?' || endCount == sizeof ends;
        if (!anyEnd)
            ends[endCount++] = p.back();
    }
    for (const std::string& s : sent) {
        const std::string_view command = TrimmedView(s);
        anyEnd |= endCount == sizeof ends;
        if (!command.empty() && !anyEnd)
            ends[endCount++] = command.back();
    }
    const std::string_view endChars(ends, endCount);
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = LineEnd(text, start);
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        const std::string_view trimmed = TrimmedView(line);
        if (trimmed.empty())
            continue;
        const bool mayBeEchoOrPrompt = anyEnd || endChars.find(trimmed.back()) != std::string_view::npos;
        if (mayBeEchoOrPrompt && (isEcho(trimmed) || MatchesAny(type.shellPrompts, trimmed)))
            continue;
        bool pager = false;
        for (const PagerPrompt& p : type.pagers)
            pager |= MatchPattern(p.pattern, trimmed);
        if (!pager)
            lines.push_back(line);
    }
}

} // namespace

std::vector<std::string> ReplyLines(const DeviceType& type, std::string_view reply, const std::vector<std::string>& sent)
{
    std::string clean;
    Lines lines;
    TakeReplyLines(type, reply, sent, clean, lines);
    return {lines.begin(), lines.end()};
}

ReplyReading ReadReply(const DeviceType& type, const PollCommand& poll, std::string_view reply, bool explain)
{
    // Kept by the thread with their buffers: every poll's replies come here.
    thread_local std::vector<std::string> sent;
    thread_local std::string clean;
    thread_local Lines lines;
    // A poll's commands go out together, and a terminal that echoes input as it comes (a shell
    // reading a line at a time) shows every one of them before the first reply.
    sent.resize(type.polls.size());
    for (std::size_t i = 0; i < type.polls.size(); ++i)
        type.ExpandInto(type.polls[i].command, sent[i]);
    TakeReplyLines(type, reply, sent, clean, lines);
    switch (poll.style) {
    case ReplyStyle::Lines: return ReadLines(type, poll, lines, explain);
    case ReplyStyle::Records: return ReadRecords(poll, lines, explain);
    case ReplyStyle::Blocks: return ReadBlocks(poll, lines, explain);
    case ReplyStyle::Json: return ReadJson(poll, lines, explain);
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
