#pragma once
// Escaped text and the --script language of approbe-sim.
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// s without blanks, tabs and CRs at either end.
std::string_view trim(std::string_view s);

// Bytes as printable text: \r \n \t \0 \\ and \xHH for other non-printables (and '"').
std::string escapeBytes(std::string_view bytes);

// Reverses escapeBytes; accepts \r \n \t \0 \\ \xHH. On a bad escape returns nullopt and sets why.
std::optional<std::string> unescape(std::string_view text, std::string& why);

enum class Op {
    Send, Expect, Login, Values, Reply, Replies, Shell, Sleep, Close, Reset, Silent, Bytewise, Flood,
    Negotiate, Echo, FailDelay, Tries, LastLogin, Pieces, Stations, DropRows
};

// How a connection opens: no telnet options; options sent and not waited for (as busybox's
// telnetd does); or rounds of options whose every answer is awaited before the login prompt
// (as inetutils' telnetd does).
enum class Negotiation { None, Eager, Strict };

// The text after --negotiate or the negotiate step; nullopt if it names no mode.
std::optional<Negotiation> parseNegotiation(std::string_view text);

constexpr int kMaxStations = 9;  // the table's ID column holds one digit
constexpr long long kMaxPieces = 1000;
constexpr long long kMaxPieceGapMs = 60'000;

// How generated replies go out and what the station table lists.
struct ReplyShape {
    long long pieces = 1;           // a reply with its prompt goes out in this many writes
    long long pieceGapMs = 50;      // the pause between two of them
    std::vector<int> stations{1};   // the table's rows by station number (1..N), in this order
    long long dropRowsPercent = 0;  // the chance (seeded) that a row is left out of a reply
};

// The order of --station-order and the stations step for count stations: first (1..count),
// reversed, or a comma-separated list naming each of 1..count once. nullopt if it is none of these.
std::optional<std::vector<int>> parseStationOrder(std::string_view text, int count);

struct Step {
    Op op;
    std::string text;           // send, expect, reply
    // values (nf, local, remote), replies, sleep, flood, faildelay, tries, pieces (count, gap),
    // droprows; bytewise, echo and lastlogin (0/1); negotiate (a Negotiation)
    long long num[3] = {0, 0, 0};
    std::vector<int> order;     // stations
};

struct ScriptError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Parses a whole script; throws ScriptError naming the file and line.
std::vector<Step> loadScript(const std::string& path);

}  // namespace sim
