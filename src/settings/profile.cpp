#include "profile.h"

#include "file.h"
#include "text.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace approbe {
namespace {

bool SameName(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

// False when the file exists but cannot be read whole: a rewrite would then lose what it holds.
bool ReadLines(const std::string& path, std::vector<std::string>& lines)
{
    std::string text;
    int error = 0;
    if (!ReadFile(path, text, error))
        return error == ENOENT;
    lines = SplitLines(text);
    return true;
}

bool IsSection(const std::string& line, std::string* name)
{
    const IniLine parsed = ParseIniLine(line);
    if (parsed.kind != IniLine::Kind::Section)
        return false;
    if (name)
        *name = parsed.name;
    return true;
}

bool IsEntry(const std::string& line, std::string& key, std::string& raw)
{
    IniLine parsed = ParseIniLine(line);
    if (parsed.kind != IniLine::Kind::Entry)
        return false;
    key = std::move(parsed.key);
    raw = std::move(parsed.raw);
    return true;
}

bool MakeParentDirs(const std::string& path)
{
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string dir = path.substr(0, slash);
        if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

bool WriteWhole(int fd, const std::string& data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Replaces the file by a new one holding data: written beside it, flushed, then renamed over it.
bool ReplaceFile(const std::string& path, const std::string& data)
{
    if (!MakeParentDirs(path))
        return false;
    std::string tmp = path + ".XXXXXX";
    const int fd = ::mkstemp(tmp.data()); // created 0600
    if (fd < 0)
        return false;
    const bool ok = ::fchmod(fd, 0600) == 0 && WriteWhole(fd, data) && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

} // namespace

IniLine ParseIniLine(const std::string& line)
{
    IniLine out;
    const std::string t = Trim(line);
    if (t.empty())
        return out;
    if (t[0] == ';' || t[0] == '#') {
        out.kind = IniLine::Kind::Comment;
    } else if (t[0] == '[') {
        out.kind = t.size() >= 2 && t.back() == ']' ? IniLine::Kind::Section : IniLine::Kind::BadSection;
        if (out.kind == IniLine::Kind::Section)
            out.name = Trim(t.substr(1, t.size() - 2));
    } else if (const auto eq = t.find('='); eq != std::string::npos) {
        out.kind = IniLine::Kind::Entry;
        out.key = Trim(t.substr(0, eq));
        out.raw = Trim(t.substr(eq + 1));
    } else {
        out.kind = IniLine::Kind::NoEntry;
    }
    return out;
}

std::string EncodeIniValue(const std::string& value)
{
    bool plain = value.empty() || (value.front() != ' ' && value.front() != '\t' &&
                                   value.back() != ' ' && value.back() != '\t' && value.front() != '"');
    for (unsigned char c : value) {
        if (c < 0x20 || c == 0x7f)
            plain = false;
    }
    if (plain)
        return value;
    std::string out = "\"";
    for (unsigned char c : value) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7f) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02x", c);
                out += hex;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::string DecodeIniValue(const std::string& raw)
{
    if (raw.size() < 2 || raw.front() != '"' || raw.back() != '"')
        return raw;
    std::string out;
    for (std::size_t i = 1; i + 1 < raw.size(); ++i) {
        const char c = raw[i];
        if (c != '\\' || i + 2 >= raw.size()) {
            out += c;
            continue;
        }
        const char e = raw[++i];
        switch (e) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'x': {
            const auto isHex = [](char h) { return std::isxdigit(static_cast<unsigned char>(h)) != 0; };
            if (i + 2 < raw.size() && isHex(raw[i + 1]) && isHex(raw[i + 2])) {
                out += static_cast<char>(std::stoi(raw.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                out += 'x';
            }
            break;
        }
        default: out += e; // \\ and \" and anything unknown stand for the character itself
        }
    }
    return out;
}

IniProfile::IniProfile(std::string path) : m_path(std::move(path)) {}

std::string IniProfile::GetProfileString(const std::string& section, const std::string& key,
                                         const std::string& fallback)
{
    bool inSection = false;
    std::string name, entryKey, raw;
    std::vector<std::string> lines;
    ReadLines(m_path, lines); // an unreadable file gives the fallbacks
    for (const std::string& line : lines) {
        if (IsSection(line, &name))
            inSection = SameName(name, section);
        else if (inSection && IsEntry(line, entryKey, raw) && SameName(entryKey, key))
            return DecodeIniValue(raw);
    }
    return fallback;
}

namespace {

// Where a key of a section is in the lines, and where a new key of the section would go (npos
// for both when the section is not there).
struct EntryPlace {
    std::size_t entry = std::string::npos, sectionEnd = std::string::npos;
};

EntryPlace FindEntry(const std::vector<std::string>& lines, const std::string& section, const std::string& key)
{
    EntryPlace place;
    bool inSection = false;
    std::string name, entryKey, raw;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (IsSection(lines[i], &name)) {
            if (inSection)
                break;
            inSection = SameName(name, section);
            if (inSection)
                place.sectionEnd = i + 1;
        } else if (inSection) {
            if (IsEntry(lines[i], entryKey, raw) && SameName(entryKey, key)) {
                place.entry = i;
                break;
            }
            if (!Trim(lines[i]).empty())
                place.sectionEnd = i + 1;
        }
    }
    return place;
}

bool ReplaceLines(const std::string& path, const std::vector<std::string>& lines)
{
    std::string data;
    for (const std::string& line : lines)
        data += line + "\n";
    return ReplaceFile(path, data);
}

} // namespace

bool IniProfile::WriteProfileString(const std::string& section, const std::string& key,
                                    const std::string& value)
{
    std::vector<std::string> lines;
    if (!ReadLines(m_path, lines))
        return false;
    const std::string entry = key + "=" + EncodeIniValue(value);
    const EntryPlace place = FindEntry(lines, section, key);
    if (place.entry != std::string::npos) {
        // The same bytes again: keep the file and spare the disk a synced rewrite.
        if (lines[place.entry] == entry)
            return ::chmod(m_path.c_str(), 0600) == 0;
        lines[place.entry] = entry;
    } else if (place.sectionEnd == std::string::npos) {
        if (!lines.empty() && !Trim(lines.back()).empty())
            lines.emplace_back();
        lines.push_back("[" + section + "]");
        lines.push_back(entry);
    } else {
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(place.sectionEnd), entry);
    }
    return ReplaceLines(m_path, lines);
}

bool IniProfile::RemoveProfileString(const std::string& section, const std::string& key)
{
    std::vector<std::string> lines;
    if (!ReadLines(m_path, lines))
        return false;
    const EntryPlace place = FindEntry(lines, section, key);
    if (place.entry == std::string::npos)
        return true;
    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(place.entry));
    return ReplaceLines(m_path, lines);
}

std::string HomeDir()
{
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        const passwd* pw = ::getpwuid(::getuid());
        home = pw ? pw->pw_dir : "/tmp";
    }
    return home;
}

std::string ConfigDir()
{
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    return (xdg && *xdg == '/' ? std::string(xdg) : HomeDir() + "/.config") + "/approbe";
}

std::string DefaultProfilePath() { return ConfigDir() + "/approbe.ini"; }

} // namespace approbe
