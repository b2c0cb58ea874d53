#pragma once

#include <string>

namespace approbe {

// A store of string values by section and key, read and written one value at a time.
class IProfile {
public:
    virtual ~IProfile() = default;
    virtual std::string GetProfileString(const std::string& section, const std::string& key,
                                         const std::string& fallback) = 0;
    // Returns false when the value could not be stored; callers may ignore it.
    virtual bool WriteProfileString(const std::string& section, const std::string& key,
                                    const std::string& value) = 0;
    // Takes the key out of the section; true when it is not there afterwards.
    virtual bool RemoveProfileString(const std::string& section, const std::string& key) = 0;
};

// An INI file. Every write replaces the file whole (temporary file, then rename), so a crash or a
// full disk never leaves it half-written; the file is readable by its owner only, since it holds
// a password. Values that would not survive plain INI syntax are written quoted with escapes.
class IniProfile : public IProfile {
public:
    explicit IniProfile(std::string path);
    std::string GetProfileString(const std::string& section, const std::string& key,
                                 const std::string& fallback) override;
    bool WriteProfileString(const std::string& section, const std::string& key,
                            const std::string& value) override;
    bool RemoveProfileString(const std::string& section, const std::string& key) override;
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

// $XDG_CONFIG_HOME/approbe/approbe.ini, else ~/.config/approbe/approbe.ini.
std::string DefaultProfilePath();
// $XDG_CONFIG_HOME/approbe (by default ~/.config/approbe): the folder of the profile and of
// the SSH host keys approbe has been told to trust.
std::string ConfigDir();
// $HOME, else the user database's home folder.
std::string HomeDir();

// One line of an INI file, as every reader here takes it (the profile, the poller's config).
struct IniLine {
    enum class Kind {
        Blank,
        Comment,    // ';' or '#' first
        Section,    // "[name]": name
        BadSection, // '[' first, no ']' last
        Entry,      // "key = value": key and raw, both trimmed
        NoEntry,    // anything else: no '='
    };
    Kind kind = Kind::Blank;
    std::string name, key, raw;
};
IniLine ParseIniLine(const std::string& line);

// The INI value encoding, exposed for tests.
std::string EncodeIniValue(const std::string& value);
std::string DecodeIniValue(const std::string& raw);

} // namespace approbe
