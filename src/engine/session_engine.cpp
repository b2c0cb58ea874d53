#include "session_engine.h"

#include <cstring>

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
    m_stats = Statistics{};
    m_partLine.clear();
    m_telnet = m_params.telnet ? std::make_unique<TelnetLayer>() : nullptr;
    SetState(out, SessionState::Starting);
    return out;
}

SessionActions SessionEngine::StartFailed()
{
    SessionActions out;
    if (m_state == SessionState::Starting)
        SetState(out, SessionState::Ended, SessionEnd::StartFailed);
    return out;
}

SessionActions SessionEngine::Connected()
{
    SessionActions out;
    if (m_state != SessionState::Starting)
        return out;
    out.push_back(SessionAction(SessionAction::Kind::Status, "Login to " + m_params.host));
    m_polling = false;
    m_stats = Statistics{};
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
    // The answer stands in for the block: the checks after it look at the answer.
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

    m_stats.m_nRxTotal += static_cast<std::int64_t>(bytes.size());
    std::string data;
    std::string reply;
    if (m_telnet)
        m_telnet->Receive(bytes, data, reply);
    else
        data.assign(bytes);
    // Pieces of a line wait for the rest of it; so does their count, so that a reply that comes in
    // pieces updates the screen once, not once a piece.
    const bool wait = m_params.wholeLines && !WholeLines(data);
    if (!wait) {
        SessionAction total{SessionAction::Kind::RxTotal};
        total.count = m_stats.m_nRxTotal;
        out.push_back(std::move(total));
    }
    if (!reply.empty())
        out.push_back(SessionAction(SessionAction::Kind::Send, std::move(reply)));
    if (wait)
        return out;
    // A zero byte of data ends the text that is looked at.
    std::string examined(data.c_str());

    const bool loginPrompt = HasPrompt(examined.c_str(), "login:");
    if (m_passwordAnswered && (loginPrompt || HasPrompt(examined.c_str(), "Password:"))) {
        // Answering again would retype a password known to be wrong.
        SessionActions end = LoginRejected();
        out.insert(out.end(), end.begin(), end.end());
        return out;
    }
    if (m_awaitingShell && examined.find_first_not_of(" \t\r\n") != std::string::npos &&
        !HasPrompt(examined.c_str(), "Password:"))
        StartPolling(out);
    if (loginPrompt)
        Answer(out, m_params.user, "User name", examined);
    if (HasPrompt(examined.c_str(), "Password:")) {
        out.push_back(SessionAction(SessionAction::Kind::Status, "to " + m_params.host + " connected"));
        Answer(out, m_params.password, "Password", examined);
        m_passwordAnswered = true;
        m_awaitingShell = true;
        m_passwordAt = now;
        SetState(out, SessionState::LoggedIn);
    }

    Reading reading = ParseReading(examined.c_str());
    if (reading.any()) {
        reading.rxBytes = m_stats.m_nRxTotal;
        reading.at = now;
        Accumulate(m_stats, reading);
        SessionAction a{SessionAction::Kind::Reading};
        a.reading = reading;
        a.stats = m_stats;
        out.push_back(std::move(a));
    }
    // Over a terminal most lines carry nothing (the echo of our own commands, the table's head,
    // the prompt): their count waits for the next line that does, so the screen is updated per
    // reading, as a telnet block is.
    if (m_params.wholeLines && out.size() == 1 && out.front().kind == SessionAction::Kind::RxTotal)
        out.clear();
    return out;
}

bool SessionEngine::WholeLines(std::string& data)
{
    m_partLine += data;
    const auto lastEnd = m_partLine.find_last_of("\r\n");
    const std::size_t cut = lastEnd == std::string::npos ? 0 : lastEnd + 1;
    const std::string tail = m_partLine.substr(cut);
    // A prompt waits for an answer, and a block never grows past what the dialog receives at once.
    const bool takeAll = HasPrompt(tail.c_str(), "login:") || HasPrompt(tail.c_str(), "Password:") ||
                         tail.size() >= kMaxBlock;
    data = takeAll ? std::move(m_partLine) : m_partLine.substr(0, cut);
    m_partLine = takeAll ? std::string() : tail;
    return !data.empty();
}

SessionActions SessionEngine::LoggedInByTransport()
{
    SessionActions out;
    if (m_state != SessionState::LoggingIn)
        return out;
    out.push_back(SessionAction(SessionAction::Kind::Status, "to " + m_params.host + " connected"));
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

SessionActions SessionEngine::TimedOut()
{
    return End(m_state == SessionState::Closing ? SessionEnd::Disconnected : SessionEnd::Silent);
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
    if (!m_polling)
        return out;
    Send(out, "get station");
    Send(out, m_params.pollLineEnd);
    Send(out, "get nf");
    Send(out, m_params.pollLineEnd);
    return out;
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
    if (!live())
        return out;
    if (m_state == SessionState::Closing)
        why = SessionEnd::Disconnected; // however the wait ended, the user asked for it
    Send(out, "q");
    Send(out, m_params.answerEnd);
    out.push_back({SessionAction::Kind::Close});
    SetState(out, SessionState::Ended, why);
    return out;
}

} // namespace approbe
