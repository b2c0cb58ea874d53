#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A device type: what one kind of access point shell looks like and how its replies give the
// levels, as data read from a small INI file. One engine reads any of them.
namespace approbe::session {

// Where a field's value comes from: the value at `from`, or `from` minus `minus` when that is given
// ("signal-strength - signal-to-noise" gives a noise floor). What `from` names depends on the reply's
// style: a label, a record's key, a JSON path.
struct FieldSource {
    std::string from, minus;
    friend bool operator==(const FieldSource&, const FieldSource&) = default;
};
// The first source that gives a value wins; empty: the reply does not give this field.
using FieldSources = std::vector<FieldSource>;

enum class ReplyStyle {
    Lines,   // labelled lines: the value after a label, a row per line with a level
    Records, // key=value records, each from a line that begins with its number, wrapping over lines
    Blocks,  // blocks that begin with a line of their own (a station line), labelled lines inside
    Json,    // a JSON document; fields are dotted paths, a list is named with []
};
const char* ToString(ReplyStyle style);

// One command sent at every poll, and how its reply maps onto the canonical fields.
struct PollCommand {
    std::string command; // "{interface}" in it stands for the type's interface
    ReplyStyle style = ReplyStyle::Lines;
    // Blocks: the text a block's first line begins with. Json: the list of station rows
    // ("wireless.sta[]"); where the list is missing, the object that would hold it is the one row.
    std::string rows;
    // Blocks: only blocks that hold this text count (the survey's "[in use]").
    std::string mark;
    FieldSources station, local, remote, noise;
    int line = 0; // where its section begins in the file
};

// A pager's prompt (a pattern) and the key that answers it.
struct PagerPrompt {
    std::string pattern, key;
};

struct DeviceType {
    std::string name;
    std::string file; // where it was read from; "built-in" for the program's own
    std::vector<std::string> loginPrompts, passwordPrompts;
    std::string userSuffix; // appended to the user name as it is sent ("+ct")
    std::vector<std::string> shellPrompts;
    std::vector<PagerPrompt> pagers;
    std::vector<std::string> setup; // sent once after the login
    std::vector<PollCommand> polls;
    std::string farewell;
    // The interface the commands name: the type's setting, else found in the reply to
    // interfaceQuery, on the line that interfaceLine matches with {} standing for its name
    // ("Interface {}", "{} ESSID:*").
    std::string interface, interfaceQuery, interfaceLine;
    // Automatic detection: a line of the login or the prompt that tells this type outright; else
    // a harmless command, and a line of its reply that tells this type.
    std::vector<std::string> claims;
    std::string probe;
    std::vector<std::string> probeReplies;
    // Levels = as-written: labelled lines are read exactly as approbe's first shell always was
    // (the number after the label's one separator as atoi reads it, escapes and all, no range);
    // otherwise a value goes by LevelValue's rules.
    bool levelsAsWritten = false;

    // The commands with the interface put in.
    std::string Expand(const std::string& command) const;
    // The same into out, whose buffer is kept: for what is expanded at every poll.
    void ExpandInto(const std::string& command, std::string& out) const;
};

// The values a type's poll commands give, as bits.
inline constexpr int kGivesNoise = 1, kGivesLocal = 2, kGivesRemote = 4;
int GivenValues(const DeviceType& type);

struct DeviceTypeResult {
    std::optional<DeviceType> type;
    std::string error; // "FILE:LINE: what is wrong"
};

// A type file's text. file names it in errors.
DeviceTypeResult ParseDeviceType(const std::string& file, std::string_view text);

// A pattern in a type file: '*' stands for any text, '?' for any one character, everything else
// for itself. It matches the whole text, which is taken without its trailing blanks and line ends.
bool MatchPattern(std::string_view pattern, std::string_view text);
// How much of a pattern is its own text rather than wildcards: of two patterns that match, the
// one with more says more.
std::size_t PatternWeight(std::string_view pattern);

} // namespace approbe::session
