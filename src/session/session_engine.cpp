#include "session_engine.h"

#include <cstring>
#include <utility>

#include "prompts.h"
#include "text.h"

namespace approbe {

const char* ToString(SessionState state)
{
    switch (state) {
    case SessionState::Idle: return "idle";
    case SessionState::Starting: return "starting";
    case SessionState::LoggingIn: return "logging in";
    case SessionState::LoggedIn: return "logged in";
    case SessionState::Closing: return "closing";
    case SessionState::Ended: return "ended";
    }
    return "?";
}

const char* ToString(SessionEnd end)
{
    switch (end) {
    case SessionEnd::None: return "none";
    case SessionEnd::StartFailed: return "start failed";
    case SessionEnd::PeerClosed: return "closed by the access point";
    case SessionEnd::ReceiveFailed: return "receive failed";
    case SessionEnd::Disconnected: return "disconnected";
    case SessionEnd::LoginRejected: return "login rejected";
    case SessionEnd::Silent: return "silent";
    case SessionEnd::HostKeyRefused: return "host key refused";
    case SessionEnd::Removed: return "removed";
    }
    return "?";
}

void SessionEngine::SetState(SessionActions& out, SessionState state, SessionEnd end)
{
    m_state = state;
    SessionAction a{SessionAction::Kind::State};
    a.state = state;
    a.end = end;
    out.push_back(std::move(a));
}

void SessionEngine::Send(SessionActions& out, std::string_view data)
{
    out.push_back(SessionAction(SessionAction::Kind::Send, m_telnet ? m_telnet->Encode(data) : std::string(data)));
}

SessionActions SessionEngine::Begin(SessionParams params)
{
    SessionActions out;
    m_params = std::move(params);
    m_polling = false;
    m_shutBeforeConnected = false;
    m_passwordAnswered = false;
    m_awaitingShell = false;
    m_shellShown = false;
    m_atLoginPrompt = false;
    m_received = 0;
    m_rxCounted = 0;
    m_partLine.clear();
    m_partMatched = false;
    m_prompt.clear();
    m_pollsSent = false;
    m_polls.clear();
    m_telnet = m_params.telnet ? std::make_unique<TelnetLayer>() : nullptr;
    SetState(out, SessionState::Starting);
    return out;
}

SessionActions SessionEngine::Connected()
{
    SessionActions out;
    if (m_state != SessionState::Starting)
        return out;
    out.push_back(SessionAction(SessionAction::Kind::Status, "Login to " + m_params.host));
    m_polling = false;
    m_received = 0;
    m_rxCounted = 0;
    SetState(out, m_shutBeforeConnected ? SessionState::Closing : SessionState::LoggingIn);
    return out;
}

bool SessionEngine::Answer(SessionActions& out, const std::string& text, const char* what, std::string& examined)
{
    if (text.size() > kMaxAnswer) {
        examined.clear();
        out.push_back(SessionAction(SessionAction::Kind::Log,
                           Format("%s too long to send (at most %zu characters)", what, kMaxAnswer)));
        return false;
    }
    // The answer stands in for the line: the checks after it look at the answer.
    examined = text + m_params.answerEnd;
    Send(out, examined);
    return true;
}

SessionActions SessionEngine::Received(std::string_view bytes, std::chrono::system_clock::time_point now)
{
    SessionActions out;
    if (m_state == SessionState::Closing)
        return End(SessionEnd::Disconnected); // a block after Disconnect is not looked at
    if (m_state != SessionState::LoggingIn && m_state != SessionState::LoggedIn)
        return out;

    m_received += static_cast<std::int64_t>(bytes.size());
    std::string data;
    std::string reply;
    if (m_telnet)
        m_telnet->Receive(bytes, data, reply);
    else
        data.assign(bytes);
    SessionActions lines;
    // This block's count goes out before its lines: an ending among them must not tell it again.
    const std::int64_t counted = std::exchange(m_rxCounted, m_received);
    const bool lookedAt = TakeLines(lines, data, now);
    // A part line shows the shell only as its prompt: a piece of a line may be the start of the
    // login program's "Login incorrect".
    if (m_passwordAnswered && !m_shellShown && live() && !ShellPrompt(m_partLine.c_str()).empty())
        ShellShown(lines);
    // Pieces of a line wait for the rest of it; so does their count, so that a line that comes
    // in pieces updates the screen once, not once a piece. A prompt that waits is shown at once.
    m_rxCounted = counted;
    if (lookedAt || !ShellPrompt(m_partLine.c_str()).empty() || PromptBegins())
        CountReceived(out);
    if (!reply.empty())
        out.push_back(SessionAction(SessionAction::Kind::Send, std::move(reply)));
    out.insert(out.end(), std::make_move_iterator(lines.begin()), std::make_move_iterator(lines.end()));
    return out;
}

bool SessionEngine::TakeLines(SessionActions& out, std::string_view data, std::chrono::system_clock::time_point now)
{
    bool lookedAt = false;
    auto lookAtPart = [&] {
        lookedAt = true;
        LookAt(out, m_partLine.c_str(), now);
        m_partLine.clear(); // keeps its buffer for the next line
        m_partMatched = false;
    };
    std::size_t pos = 0;
    while (pos < data.size() && (m_state == SessionState::LoggingIn || m_state == SessionState::LoggedIn)) {
        std::size_t end = pos;
        while (end < data.size() && data[end] != '\r' && data[end] != '\n')
            ++end;
        const std::size_t take = std::min(end - pos, kMaxBlock - m_partLine.size());
        m_partLine.append(data.substr(pos, take));
        pos += take;
        MatchPrompt();
        if (m_partLine.size() >= kMaxBlock || (pos < data.size() && pos == end)) {
            if (pos == end)
                ++pos; // the line end
            lookAtPart();
        }
    }
    // A login or password prompt waits for its answer: looked at at once.
    const char* part = m_partLine.c_str();
    if ((m_state == SessionState::LoggingIn || m_state == SessionState::LoggedIn) &&
        FindLoginPrompt(part) != LoginPrompt::None)
        lookAtPart();
    return lookedAt;
}

void SessionEngine::MatchPrompt()
{
    if (m_prompt.empty() || m_partMatched || m_partLine.size() < m_prompt.size())
        return;
    m_partMatched = true;
    if (m_partLine.compare(0, m_prompt.size(), m_prompt) != 0 || m_polls.empty())
        return;
    // The prompt is back: a reply has ended.
    if (--m_polls.front().repliesDue == 0)
        m_polls.pop_front();
}

bool SessionEngine::PromptBegins() const
{
    return !m_prompt.empty() && m_partLine.compare(0, m_prompt.size(), m_prompt) == 0;
}

bool SessionEngine::AtPrompt() const
{
    return PromptBegins() && m_partLine.find_first_not_of(" \t", m_prompt.size()) == std::string::npos;
}

void SessionEngine::LookAt(SessionActions& out, const char* line, std::chrono::system_clock::time_point now)
{
    // The line is looked at up to its first zero byte: a zero in the data ends the text.
    const LoginPrompt prompt = FindLoginPrompt(line);
    if (prompt == LoginPrompt::None) {
        const bool text = line[std::strspn(line, " \t")] != '\0';
        m_atLoginPrompt = m_atLoginPrompt && !text;
        // After the password, any whole line that is no prompt is the shell's.
        if (text && m_passwordAnswered && !m_shellShown)
            ShellShown(out);
        Read(out, line, now);
        return;
    }
    if (m_passwordAnswered) {
        // Answering again would retype a password known to be wrong.
        SessionActions end = LoginRejected();
        out.insert(out.end(), end.begin(), end.end());
        return;
    }
    m_atLoginPrompt = true;
    std::string examined(line);
    if (prompt == LoginPrompt::User)
        Answer(out, m_params.user, "User name", examined);
    if (HasPrompt(examined.c_str(), kPasswordLabel)) {
        out.push_back(SessionAction(SessionAction::Kind::Status, "to " + m_params.host + " connected"));
        Answer(out, m_params.password, "Password", examined);
        m_passwordAnswered = true;
        m_awaitingShell = true;
        m_passwordAt = now;
        SetState(out, SessionState::LoggedIn);
    }
    // The answer stands in for the prompt's line: its text is what is read.
    Read(out, examined.c_str(), now);
}

void SessionEngine::ShellShown(SessionActions& out)
{
    m_shellShown = true;
    m_atLoginPrompt = false;
    if (m_awaitingShell)
        StartPolling(out);
}

void SessionEngine::Read(SessionActions& out, const char* line, std::chrono::system_clock::time_point now)
{
    // A line outside a poll's replies is a reading of its own.
    PollReading alone;
    PollReading& poll = m_polls.empty() ? alone : m_polls.front().reading;
    std::optional<Reading> reading = poll.Add(line);
    if (!reading)
        return;
    reading->rxBytes = m_received;
    reading->at = now;
    SessionAction a{SessionAction::Kind::Reading};
    a.reading = std::move(*reading);
    out.push_back(std::move(a));
}

SessionActions SessionEngine::LoggedInByTransport()
{
    SessionActions out;
    if (m_state != SessionState::LoggingIn)
        return out;
    out.push_back(SessionAction(SessionAction::Kind::Status, "to " + m_params.host + " connected"));
    m_shellShown = true;
    StartPolling(out);
    SetState(out, SessionState::LoggedIn);
    return out;
}

SessionActions SessionEngine::LoginRejected()
{
    return EndSaying("Login to " + m_params.host + " rejected", SessionEnd::LoginRejected);
}

SessionActions SessionEngine::HostKeyRefused(const std::string& why) { return EndSaying(why, SessionEnd::HostKeyRefused); }

SessionActions SessionEngine::EndSaying(const std::string& status, SessionEnd why)
{
    if (!live())
        return {};
    SessionActions out;
    out.push_back(SessionAction(SessionAction::Kind::Status, status));
    SessionActions end = End(why);
    out.insert(out.end(), end.begin(), end.end());
    return out;
}

SessionActions SessionEngine::Silent(std::chrono::seconds quiet)
{
    return EndSaying(Format("%s silent for %lld s", m_params.host.c_str(), static_cast<long long>(quiet.count())),
                     SessionEnd::Silent);
}

void SessionEngine::StartPolling(SessionActions& out)
{
    m_awaitingShell = false;
    m_polling = true;
    out.emplace_back(SessionAction::Kind::PollingOn);
}

SessionActions SessionEngine::Tick(std::chrono::system_clock::time_point now)
{
    SessionActions out;
    if (m_state != SessionState::LoggingIn && m_state != SessionState::LoggedIn)
        return out;
    if (m_awaitingShell && now - m_passwordAt >= kQuietShell)
        StartPolling(out);
    EndPolls();
    if (!m_polling)
        return out;
    if (!m_pollsSent) {
        // The prompt the shell waits at before the first poll is how its replies will end.
        m_pollsSent = true;
        m_prompt = ShellPrompt(m_partLine.c_str());
        m_partMatched = !m_prompt.empty();
    }
    m_polls.emplace_back();
    Send(out, "get station");
    Send(out, m_params.pollLineEnd);
    Send(out, "get nf");
    Send(out, m_params.pollLineEnd);
    SessionAction polled{SessionAction::Kind::Polled};
    polled.count = 2;
    out.push_back(std::move(polled));
    return out;
}

void SessionEngine::EndPolls()
{
    if (m_prompt.empty()) {
        m_polls.clear(); // no prompt to tell where the replies end: the tick does
        return;
    }
    if (m_polls.empty())
        return;
    Poll& oldest = m_polls.front();
    ++oldest.ticks;
    if (oldest.repliesDue < 2 && AtPrompt()) {
        // A shell that ends both replies with one prompt waits at it now.
        m_polls.pop_front();
    } else if (oldest.ticks >= kPromptPatience) {
        m_prompt.clear();
        m_polls.clear();
    }
}

SessionActions SessionEngine::Disconnect(bool sendSideShut)
{
    SessionActions out;
    m_polling = false;
    m_awaitingShell = false;
    if (!sendSideShut)
        return out;
    if (m_state == SessionState::Starting)
        m_shutBeforeConnected = true;
    else if (m_state == SessionState::LoggingIn || m_state == SessionState::LoggedIn)
        SetState(out, SessionState::Closing);
    return out;
}

SessionActions SessionEngine::End(SessionEnd why)
{
    SessionActions out;
    if (m_state == SessionState::Starting)
        SetState(out, SessionState::Ended, why);
    if (!live())
        return out;
    if (m_state == SessionState::Closing)
        why = SessionEnd::Disconnected; // however the wait ended, the user asked for it
    // The farewell is typed only to a shell: a login program would take it for a user name.
    if (m_shellShown && !m_atLoginPrompt && why != SessionEnd::LoginRejected) {
        Send(out, "q");
        Send(out, m_params.answerEnd);
    }
    // A part line's bytes were held back for the rest of the line, which will not come now.
    if (m_rxCounted != m_received)
        CountReceived(out);
    out.push_back({SessionAction::Kind::Close});
    SetState(out, SessionState::Ended, why);
    return out;
}

void SessionEngine::CountReceived(SessionActions& out)
{
    SessionAction total{SessionAction::Kind::RxTotal};
    total.count = m_received;
    total.added = m_received - std::exchange(m_rxCounted, m_received);
    out.push_back(std::move(total));
}

} // namespace approbe
