// A whole session through the engine on arbitrary received blocks, with no socket and no thread.
// The input is the user name, the password and the blocks, separated by the record separator
// byte. Checked: every byte is counted; the only things ever sent are the user name and the
// password (each with its CR, the password at most once), telnet refusals, the polls and the
// farewell; nothing is sent after the end; plain blocks read as an independent reading says.
#include <chrono>

#include "fuzz_support.h"
#include "session_engine.h"

using namespace approbe;
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> parts = SplitBlocks(data, size);
    const std::string user = parts[0];
    const std::string password = parts.size() > 1 ? parts[1] : "secret";
    const std::vector<std::string> blocks(parts.begin() + std::min<std::size_t>(2, parts.size()), parts.end());

    SessionEngine engine;
    engine.Begin({"ap", user, password});
    engine.Connected();
    const auto now = std::chrono::system_clock::now();
    std::int64_t received = 0;
    int passwordsSent = 0;
    bool everTelnet = false;
    auto checkSends = [&](const SessionActions& actions) {
        bool ended = false, tearingDown = false;
        for (const SessionAction& a : actions) {
            if (a.kind == SessionAction::Kind::State && a.state == SessionState::Ended)
                ended = true;
            tearingDown = tearingDown || a.kind == SessionAction::Kind::GreyBars;
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
    for (const std::string& raw : blocks) {
        if (raw.empty() || !engine.live())
            break;
        const std::string block = raw.substr(0, 511);
        received += static_cast<std::int64_t>(block.size());
        everTelnet = everTelnet || block.find('\xff') != std::string::npos;
        const Statistics before = engine.stats();
        const SessionActions actions = engine.Received(block, now);
        checkSends(actions);
        checkSends(engine.Tick(now));
        if (engine.live())
            Check(engine.stats().m_nRxTotal == received, "every received byte counted");
        // A plain block without prompts is read exactly as the independent reading says.
        const std::string_view text = CText(block);
        const bool plain = !everTelnet && text.find("login:") == std::string_view::npos &&
                           text.find("Password:") == std::string_view::npos;
        if (plain && engine.live()) {
            Check(engine.stats().m_nNoiseCount - before.m_nNoiseCount ==
                      (ReferenceLabel(text, "Level:").found ? 1 : 0),
                  "a noise label counts once");
        }
    }
    Check(passwordsSent <= 1, "the password is sent at most once");
    const SessionActions end = engine.PeerClosed();
    if (!end.empty())
        Check(end.back().kind == SessionAction::Kind::State && end.back().state == SessionState::Ended, "one end");
    Check(engine.state() == SessionState::Ended, "the session is over");
    Check(engine.PeerClosed().empty(), "a session ends once");
    return 0;
}
