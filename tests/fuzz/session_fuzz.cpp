// A whole session through the engine on arbitrary received blocks, with no socket and no thread.
// The input is the user name, the password and the blocks, separated by the record separator
// byte, with a poll tick after each block. Checked: every byte is counted; the only things ever
// sent are the user name and the password (each with its CR, the password at most once), telnet
// refusals, the polls and the farewell; nothing is sent after the end. And once logged in, where
// no login or password prompt comes: the same bytes one per block give the same readings and
// the same sends as the blocks as they came.
#include <chrono>
#include <utility>

#include "fuzz_support.h"
#include "session_engine.h"
#include "telnet_layer.h"

using namespace approbe;
using namespace approbe::session;
using namespace approbe::fuzz;

namespace {

// Refusals only: IAC WONT x or IAC DONT x, any number of them.
bool IsRefusal(const std::string& bytes)
{
    if (bytes.empty() || bytes.size() % 3 != 0)
        return false;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        if (bytes[i] != '\xff' || (bytes[i + 1] != '\xfc' && bytes[i + 1] != '\xfe'))
            return false;
    }
    return true;
}

// Doubles 0xFF the way a telnet peer's data is encoded.
std::string Escaped(const std::string& text)
{
    std::string out;
    for (char c : text) {
        out += c;
        if (c == '\xff')
            out += c;
    }
    return out;
}

// A reading as values, without what depends on the blocks (the byte count at the time).
std::string Describe(const Reading& r)
{
    auto opt = [](const std::optional<int>& v) { return v ? std::to_string(*v) : std::string("-"); };
    std::string out = opt(r.noise) + "/" + opt(r.local) + "/" + opt(r.remote) + " row " + std::to_string(r.row) + " " +
                      opt(r.rowLocal) + "/" + opt(r.rowRemote) + " of";
    for (const StationRow& row : r.stations)
        out += " " + (row.mac ? row.mac->ToString() : std::string("?")) + " " + opt(row.local) + "/" + opt(row.remote);
    return out;
}

// A session logged in by its transport, fed the blocks with a tick after each, the bytes of each
// block one at a time or all at once: the readings and everything sent.
std::pair<std::vector<std::string>, std::string> LoggedInRun(const std::vector<std::string>& blocks, bool bytewise)
{
    SessionEngine engine;
    // Today's shell chosen: telling a type by itself rightly depends on whether a prompt waits at
    // the end of a block, and may send a probe.
    SessionParams params{"ap", "user", "password"};
    params.device.name = std::string(kDefaultDeviceType);
    engine.Begin(params);
    engine.Connected();
    std::vector<std::string> readings;
    std::string sent;
    auto take = [&](const SessionActions& actions) {
        for (const SessionAction& a : actions) {
            if (a.kind == SessionAction::Kind::Reading)
                readings.push_back(Describe(a.reading));
            else if (a.kind == SessionAction::Kind::Send)
                sent += a.text;
        }
    };
    take(engine.LoggedInByTransport());
    auto clock = std::chrono::system_clock::time_point{};
    for (const std::string& block : blocks) {
        if (bytewise) {
            for (char c : block)
                take(engine.Received(std::string_view(&c, 1), clock));
        } else {
            take(engine.Received(block, clock));
        }
        take(engine.Tick(clock += std::chrono::seconds(1)));
    }
    take(engine.End(SessionEnd::PeerClosed));
    return {readings, sent};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> parts = SplitBlocks(data, size);
    const std::string user = parts[0];
    const std::string password = parts.size() > 1 ? parts[1] : "secret";
    const std::vector<std::string> blocks(parts.begin() + std::min<std::size_t>(2, parts.size()), parts.end());

    SessionEngine engine;
    SessionParams params{"ap", user, password};
    params.device.name = std::string(kDefaultDeviceType); // today's shell: the sends its model knows
    engine.Begin(params);
    engine.Connected();
    const auto now = std::chrono::system_clock::now();
    std::int64_t received = 0;
    int passwordsSent = 0;
    auto checkSends = [&](const SessionActions& actions) {
        bool ended = false, tearingDown = false;
        for (const SessionAction& a : actions) {
            if (a.kind == SessionAction::Kind::State && a.state == SessionState::Ended)
                ended = true;
            // The farewell (q, then the line end) is no answer, whatever the password.
            tearingDown = tearingDown || (a.kind == SessionAction::Kind::Send && a.text == "q");
            if (a.kind != SessionAction::Kind::Send)
                continue;
            Check(!ended, "nothing is sent after the end");
            const bool isUser = a.text == user + "\r" || a.text == Escaped(user + "\r");
            const bool isPassword = a.text == password + "\r" || a.text == Escaped(password + "\r");
            passwordsSent += isPassword && !isUser && !tearingDown;
            const bool poll = a.text == "get station" || a.text == "get nf" || a.text == "\r\n";
            const bool farewell = a.text == "q" || a.text == "\r";
            Check(isUser || isPassword || IsRefusal(a.text) || poll || farewell, "only answers, refusals, polls, farewell");
        }
    };
    std::vector<std::string> fed;
    for (const std::string& raw : blocks) {
        if (raw.empty() || !engine.live())
            break;
        const std::string block = raw.substr(0, 511);
        fed.push_back(block);
        received += static_cast<std::int64_t>(block.size());
        const SessionActions actions = engine.Received(block, now);
        checkSends(actions);
        checkSends(engine.Tick(now));
        if (engine.live())
            Check(engine.received() == received, "every received byte counted");
    }
    Check(passwordsSent <= 1, "the password is sent at most once");
    const SessionActions end = engine.End(SessionEnd::PeerClosed);
    if (!end.empty())
        Check(end.back().kind == SessionAction::Kind::State && end.back().state == SessionState::Ended, "one end");
    Check(engine.state() == SessionState::Ended, "the session is over");
    Check(engine.End(SessionEnd::PeerClosed).empty(), "a session ends once");

    // A prompt that waits at the end of what came is answered at once, whole or not: the cuts
    // that cannot change anything are those of the text after the login.
    TelnetLayer layer;
    std::string text, replies;
    for (const std::string& block : fed)
        layer.Receive(block, text, replies);
    if (text.find("login:") == std::string::npos && text.find("Password:") == std::string::npos)
        Check(LoggedInRun(fed, false) == LoggedInRun(fed, true), "the cuts change no reading and no send");
    return 0;
}
