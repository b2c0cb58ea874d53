#include "device_type.h"

#include <strings.h>

#include <map>

#include "file.h"
#include "profile.h"
#include "text.h"

namespace approbe::session {
namespace {

bool Is(const std::string& key, const char* name)
{
    return ::strcasecmp(key.c_str(), name) == 0;
}

// "a | b - c": the alternatives, each a value or a difference.
FieldSources Sources(const std::string& value)
{
    FieldSources out;
    std::size_t start = 0;
    for (;;) {
        const auto bar = value.find(" | ", start);
        const std::string one = Trim(value.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
        const auto dash = one.find(" - ");
        if (dash == std::string::npos)
            out.push_back({one, {}});
        else
            out.push_back({Trim(one.substr(0, dash)), Trim(one.substr(dash + 3))});
        if (bar == std::string::npos)
            return out;
        start = bar + 3;
    }
}

bool Named(const std::string& name)
{
    if (name.empty() || name.size() > 40)
        return false;
    for (char c : name) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.'))
            return false;
    }
    return true;
}

std::string PagerKey(const std::string& key)
{
    if (Is(key, "space"))
        return " ";
    if (Is(key, "enter"))
        return "\r";
    return key;
}

class Reader {
public:
    explicit Reader(const std::string& file) : m_file(file) { m_type.file = file; }

    DeviceTypeResult Read(std::string_view text)
    {
        for (const std::string& raw : SplitLines(text)) {
            ++m_line;
            if (!Take(ParseIniLine(raw)))
                return {std::nullopt, m_error};
        }
        if (!Finish())
            return {std::nullopt, m_error};
        return {std::move(m_type), {}};
    }

private:
    bool Fail(const std::string& what, int line = 0)
    {
        m_error = m_file + ":" + std::to_string(line ? line : m_line) + ": " + what;
        return false;
    }

    bool Take(const IniLine& line)
    {
        switch (line.kind) {
        case IniLine::Kind::Blank:
        case IniLine::Kind::Comment:
            return true;
        case IniLine::Kind::BadSection:
            return Fail("a section header must end in ']'");
        case IniLine::Kind::NoEntry:
            return Fail("expected KEY = VALUE or [SECTION]");
        case IniLine::Kind::Section:
            return Section(line.name);
        case IniLine::Kind::Entry:
            break;
        }
        if (line.key.empty())
            return Fail("a key is missing before '='");
        const std::string value = DecodeIniValue(line.raw);
        if (m_section == Where::None)
            return Fail("key '" + line.key + "' outside a section ([device] or [poll])");
        return m_section == Where::Device ? DeviceKey(line.key, value) : PollKey(line.key, value);
    }

    bool Section(const std::string& name)
    {
        if (Is(name, "device")) {
            if (m_deviceLine)
                return Fail("[device] appears twice");
            m_deviceLine = m_line;
            m_section = Where::Device;
        } else if (Is(name, "poll")) {
            if (!EndPoll())
                return false;
            m_type.polls.emplace_back();
            m_type.polls.back().line = m_line;
            m_section = Where::Poll;
        } else {
            return Fail("unknown section [" + name + "] ([device], [poll])");
        }
        m_seen.clear();
        return true;
    }

    // A key that may be given once per section.
    bool Once(const std::string& key)
    {
        std::string lower = key;
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (!m_seen.emplace(lower, m_line).second)
            return Fail("key '" + key + "' given twice in this section");
        return true;
    }

    bool NotEmpty(const std::string& key, const std::string& value)
    {
        return !value.empty() || Fail(key + " is empty");
    }

    bool DeviceKey(const std::string& key, const std::string& value)
    {
        DeviceType& t = m_type;
        struct List {
            const char* key;
            std::vector<std::string>* into;
        };
        for (const List& list : {List{"LoginPrompt", &t.loginPrompts}, List{"PasswordPrompt", &t.passwordPrompts},
                                 List{"ShellPrompt", &t.shellPrompts}, List{"Setup", &t.setup},
                                 List{"Claim", &t.claims}, List{"ProbeReply", &t.probeReplies}}) {
            if (Is(key, list.key)) {
                if (!NotEmpty(key, value))
                    return false;
                list.into->push_back(value);
                return true;
            }
        }
        if (Is(key, "Pager")) {
            const auto arrow = value.rfind("=>");
            if (arrow == std::string::npos || Trim(value.substr(0, arrow)).empty() || Trim(value.substr(arrow + 2)).empty())
                return Fail("Pager must be PATTERN => KEY, e.g. --More-- => space");
            t.pagers.push_back({Trim(value.substr(0, arrow)), PagerKey(Trim(value.substr(arrow + 2)))});
            return true;
        }
        if (Is(key, "Levels")) {
            if (!Once(key))
                return false;
            if (!Is(value, "checked") && !Is(value, "as-written"))
                return Fail("Levels must be checked (the default) or as-written");
            t.levelsAsWritten = Is(value, "as-written");
            return true;
        }
        struct One {
            const char* key;
            std::string* into;
        };
        for (const One& one : {One{"Name", &t.name}, One{"UserSuffix", &t.userSuffix}, One{"Farewell", &t.farewell},
                               One{"Interface", &t.interface}, One{"InterfaceQuery", &t.interfaceQuery},
                               One{"InterfaceLine", &t.interfaceLine}, One{"Probe", &t.probe}}) {
            if (Is(key, one.key)) {
                if (!Once(key))
                    return false;
                *one.into = value;
                if (one.into == &t.name && !Named(value))
                    return Fail("Name must be 1 to 40 of a-z 0-9 - _ . (it is what DeviceType = NAME says)");
                return true;
            }
        }
        return Fail("unknown key '" + key +
                    "' in [device] (Name, LoginPrompt, PasswordPrompt, UserSuffix, ShellPrompt, Pager, Setup, "
                    "Farewell, Interface, InterfaceQuery, InterfaceLine, Claim, Probe, ProbeReply, Levels)");
    }

    bool PollKey(const std::string& key, const std::string& value)
    {
        PollCommand& p = m_type.polls.back();
        if (!Once(key))
            return false;
        if (Is(key, "Command"))
            p.command = value;
        else if (Is(key, "Style"))
            return Style(p, value);
        else if (Is(key, "Rows"))
            p.rows = value;
        else if (Is(key, "Mark"))
            p.mark = value;
        else if (Is(key, "Station"))
            p.station = Sources(value);
        else if (Is(key, "Local"))
            p.local = Sources(value);
        else if (Is(key, "Remote"))
            p.remote = Sources(value);
        else if (Is(key, "Noise"))
            p.noise = Sources(value);
        else
            return Fail("unknown key '" + key + "' in [poll] (Command, Style, Rows, Mark, Station, Local, Remote, Noise)");
        return NotEmpty(key, value);
    }

    bool Style(PollCommand& p, const std::string& value)
    {
        for (ReplyStyle s : {ReplyStyle::Lines, ReplyStyle::Records, ReplyStyle::Blocks, ReplyStyle::Json}) {
            if (Is(value, ToString(s))) {
                p.style = s;
                return true;
            }
        }
        return Fail("Style must be lines, records, blocks or json");
    }

    // The poll section just read is whole.
    bool EndPoll()
    {
        if (m_type.polls.empty())
            return true;
        const PollCommand& p = m_type.polls.back();
        const int at = p.line;
        if (p.command.empty())
            return Fail("[poll] has no Command", at);
        if (p.local.empty() && p.remote.empty() && p.noise.empty())
            return Fail("[poll] gives no level: name Local, Remote or Noise", at);
        if (p.style == ReplyStyle::Blocks && p.rows.empty())
            return Fail("a blocks reply needs Rows: the text each block's first line begins with", at);
        if (!p.rows.empty() && p.style != ReplyStyle::Blocks && p.style != ReplyStyle::Json)
            return Fail("Rows is for blocks and json replies", at);
        if (!p.mark.empty() && p.style != ReplyStyle::Blocks)
            return Fail("Mark is for blocks replies", at);
        if (!p.station.empty() && p.style != ReplyStyle::Records && p.style != ReplyStyle::Json)
            return Fail("Station is for records and json replies (lines and blocks find the MAC address themselves)", at);
        return true;
    }

    bool Finish()
    {
        if (!EndPoll())
            return false;
        if (!m_deviceLine)
            return Fail("no [device] section", 1);
        if (m_type.name.empty())
            return Fail("[device] has no Name", m_deviceLine);
        if (m_type.polls.empty())
            return Fail("no [poll] section: a type needs at least one poll command", m_deviceLine);
        if (m_type.probeReplies.empty() != m_type.probe.empty())
            return Fail("Probe and ProbeReply go together", m_deviceLine);
        if (m_type.interfaceQuery.empty() != m_type.interfaceLine.empty())
            return Fail("InterfaceQuery and InterfaceLine go together", m_deviceLine);
        if (!m_type.interfaceLine.empty() && m_type.interfaceLine.find("{}") == std::string::npos)
            return Fail("InterfaceLine must hold {} where the interface's name stands", m_deviceLine);
        if (m_type.loginPrompts.empty())
            m_type.loginPrompts = {"*login:"};
        if (m_type.passwordPrompts.empty())
            m_type.passwordPrompts = {"*Password:"};
        return true;
    }

    enum class Where { None, Device, Poll };
    std::string m_file;
    DeviceType m_type;
    std::string m_error;
    Where m_section = Where::None;
    int m_line = 0, m_deviceLine = 0;
    std::map<std::string, int> m_seen;
};

} // namespace

const char* ToString(ReplyStyle style)
{
    switch (style) {
    case ReplyStyle::Lines: return "lines";
    case ReplyStyle::Records: return "records";
    case ReplyStyle::Blocks: return "blocks";
    case ReplyStyle::Json: return "json";
    }
    return "?";
}

std::string DeviceType::Expand(const std::string& command) const
{
    std::string out;
    ExpandInto(command, out);
    return out;
}

void DeviceType::ExpandInto(const std::string& command, std::string& out) const
{
    static constexpr std::string_view kSlot = "{interface}";
    out = command;
    for (auto at = out.find(kSlot); at != std::string::npos; at = out.find(kSlot, at + interface.size()))
        out.replace(at, kSlot.size(), interface);
}

int GivenValues(const DeviceType& type)
{
    int gives = 0;
    for (const PollCommand& p : type.polls)
        gives |= (p.noise.empty() ? 0 : kGivesNoise) | (p.local.empty() ? 0 : kGivesLocal) | (p.remote.empty() ? 0 : kGivesRemote);
    return gives;
}

DeviceTypeResult ParseDeviceType(const std::string& file, std::string_view text)
{
    return Reader(file).Read(text);
}

bool MatchPattern(std::string_view pattern, std::string_view text)
{
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    // What follows the last '*' can only match the text's end: most lines are told apart there, in
    // a few steps (every line of every reply is asked whether it is a login prompt).
    if (const std::size_t last = pattern.rfind('*'); last != std::string_view::npos) {
        const std::string_view tail = pattern.substr(last + 1);
        if (tail.size() > text.size())
            return false;
        const std::string_view end = text.substr(text.size() - tail.size());
        for (std::size_t i = 0; i < tail.size(); ++i) {
            if (tail[i] != '?' && tail[i] != end[i])
                return false;
        }
    }
    // Greedy with one point to come back to: the last '*' seen.
    std::size_t p = 0, t = 0, star = std::string_view::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

std::size_t PatternWeight(std::string_view pattern)
{
    std::size_t n = 0;
    for (char c : pattern)
        n += c != '*' && c != '?';
    return n;
}

} // namespace approbe::session
