#include "session_engine.h"

#include <cstring>
#include <utility>

#include "level_value.h"
#include "prompts.h"
#include "text.h"

namespace approbe::session {
namespace {

// Room for a received block's or a tick's actions at once: growing the list action by action
// moved every action before it, several times a poll.
constexpr std::size_t kUsualActions = 8;

// Reply texts kept by the thread between polls: a reply kept line by line would otherwise grow a
// new buffer at every poll. Few are out at once (a poll's, until its replies end); a flood's
// buffer is not kept.
constexpr std::size_t kSpareTexts = 64, kSpareCapacity = 16 * 1024;
thread_local std::vector<std::string> t_spareTexts;

void TakeSpare(std::string& text)
{
    if (!t_spareTexts.empty()) {
        text.swap(t_spareTexts.back());
        t_spareTexts.pop_back();
    }
}

void GiveBack(std::string& text)
{
    if (text.capacity() > std::string().capacity() && text.capacity() <= kSpareCapacity && t_spareTexts.size() < kSpareTexts) {
        text.clear();
        t_spareTexts.push_back(std::move(text));
    }
}

} // namespace

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
    m_device.Begin(m_params.device);
    m_setupDone = false;
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
    out.reserve(kUsualActions);

    m_received += static_cast<std::int64_t>(bytes.size());
    std::string reply;
    std::string_view data = bytes;
    // One buffer a thread, kept: a block a poll would otherwise allocate one, and one a session
    // would keep as large as its largest block.
    thread_local std::string telnetData;
    if (m_telnet) {
        telnetData.clear();
        m_telnet->Receive(bytes, telnetData, reply);
        data = telnetData;
    }
    SessionActions lines;
    lines.reserve(kUsualActions);
    // This block's count goes out before its lines: an ending among them must not tell it again.
    const std::int64_t counted = std::exchange(m_rxCounted, m_received);
    const bool lookedAt = TakeLines(lines, data, now);
    // A part line shows the shell only as its prompt: a piece of a line may be the start of the
    // login program's "Login incorrect".
    const bool promptWaits = live() && !m_device.PromptWaiting(m_partLine).empty();
    if (m_passwordAnswered && !m_shellShown && promptWaits)
        ShellShown(lines);
    else if (promptWaits)
        Proceed(lines, false);
    // A pager holds the rest of a reply back until it is answered; its prompt is no part of it.
    if (const std::string* key = m_shellShown && live() ? m_device.PagerKey(m_partLine) : nullptr) {
        Send(lines, *key);
        m_partLine.clear();
        m_partMatched = false;
    }
    // Pieces of a line wait for the rest of it; so does their count, so that a line that comes
    // in pieces updates the screen once, not once a piece. A prompt that waits is shown at once.
    m_rxCounted = counted;
    if (lookedAt || promptWaits || PromptBegins())
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
        // The LF of every CR LF ends an empty line, which says nothing unless a login prompt
        // may be empty.
        if (!m_partLine.empty() || m_device.MayBeLoginPrompt(""))
            LookAt(out, m_partLine.c_str(), now);
        m_partLine.clear(); // keeps its buffer for the next line
        m_partMatched = false;
    };
    std::size_t pos = 0;
    while (pos < data.size() && (m_state == SessionState::LoggingIn || m_state == SessionState::LoggedIn)) {
        const std::size_t end = LineEnd(data, pos);
        const std::size_t take = std::min(end - pos, kMaxBlock - m_partLine.size());
        m_partLine.append(data.substr(pos, take));
        pos += take;
        MatchPrompt(out, now);
        if (m_partLine.size() >= kMaxBlock || (pos < data.size() && pos == end)) {
            if (pos == end)
                ++pos; // the line end
            lookAtPart();
        }
    }
    // A login or password prompt waits for its answer: looked at at once.
    const char* part = m_partLine.c_str();
    if ((m_state == SessionState::LoggingIn || m_state == SessionState::LoggedIn) &&
        m_device.MayBeLoginPrompt(part) && (m_device.LoginPromptOf(part, false) || m_device.LoginPromptOf(part, true)))
        lookAtPart();
    return lookedAt;
}

void SessionEngine::MatchPrompt(SessionActions& out, std::chrono::system_clock::time_point now)
{
    if (m_prompt.empty() || m_partMatched || m_partLine.size() < m_prompt.size())
        return;
    m_partMatched = true;
    if (m_partLine.compare(0, m_prompt.size(), m_prompt) != 0 || m_polls.empty())
        return;
    // The prompt is back: a reply has ended.
    Poll& poll = m_polls.front();
    ReplyEnded(out, static_cast<std::size_t>(poll.commands - poll.repliesDue), now);
    if (--poll.repliesDue == 0)
        EndOldest(out, now);
}

bool SessionEngine::PromptBegins() const
{
    return !m_prompt.empty() && m_partLine.compare(0, m_prompt.size(), m_prompt) == 0;
}

bool SessionEngine::AtPrompt() const
{
    if (!PromptBegins())
        return false;
    // Blanks may follow it, and escape sequences (see ShellPrompt).
    const std::size_t rest = m_partLine.find_first_not_of(" \t", m_prompt.size());
    return rest == std::string::npos || Trim(WithoutEscapes(std::string_view(m_partLine).substr(rest))).empty();
}

void SessionEngine::LookAt(SessionActions& out, const char* line, std::chrono::system_clock::time_point now)
{
    // The line is looked at up to its first zero byte: a zero in the data ends the text.
    const bool maybe = m_device.MayBeLoginPrompt(line); // most lines are told at once
    const DeviceType* loginType = maybe ? m_device.LoginPromptOf(line, false) : nullptr;
    const bool loginPrompt = loginType != nullptr;
    const bool passwordPrompt = maybe && m_device.LoginPromptOf(line, true) != nullptr;
    if (!loginPrompt && !passwordPrompt) {
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
    if (loginPrompt)
        Answer(out, m_params.user + loginType->userSuffix, "User name", examined);
    if (m_device.LoginPromptOf(examined.c_str(), true)) {
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
    // Polling is on as soon as the shell shows itself; the polls wait for its type at the tick.
    if (m_awaitingShell)
        StartPolling(out);
    Proceed(out, false);
}

void SessionEngine::Proceed(SessionActions& out, bool tick)
{
    if (!m_shellShown)
        return;
    switch (m_device.stage()) {
    case DeviceShell::Stage::Untold:
        if (const DeviceType* chosen = m_device.chosen()) {
            Take(out, {chosen, "chosen", {}});
        } else if (const std::string prompt = m_device.PromptWaiting(m_partLine); !prompt.empty()) {
            const DetectVerdict v = m_device.AtPrompt(prompt);
            if (v.type) {
                Take(out, v);
            } else {
                Trace(out, v.why);
                m_device.Probing();
                SendCommands(out, Poll::Purpose::Probe, {v.probe});
            }
        } else if (tick) {
            // A shell that shows no prompt is polled from the next tick on, as it always was.
            Take(out, m_device.Untold());
        }
        break;
    case DeviceShell::Stage::Probing: // its reply ends it
        break;
    case DeviceShell::Stage::Told:
        if (m_awaitingShell)
            StartPolling(out);
        break;
    }
}

void SessionEngine::Take(SessionActions& out, const DetectVerdict& verdict)
{
    m_device.Take(*verdict.type);
    const DeviceType& type = m_device.type();
    // Today's shell told by itself is narrated as it always was: the log names every other type.
    if (m_device.chosen() || type.name != kDefaultDeviceType)
        out.push_back(SessionAction(SessionAction::Kind::Log, "Device type: " + type.name));
    SessionAction told{SessionAction::Kind::Device, type.name};
    told.count = GivenValues(type);
    out.push_back(std::move(told));
    Trace(out, "device type " + type.name + ": " + verdict.why);
    std::vector<std::string> setup = type.setup;
    if (type.interface.empty() && !type.interfaceQuery.empty())
        setup.push_back(type.interfaceQuery);
    m_setupDone = setup.empty();
    if (!m_setupDone)
        SendCommands(out, Poll::Purpose::Setup, setup);
    if (m_awaitingShell)
        StartPolling(out);
}

void SessionEngine::LearnPrompt()
{
    if (m_pollsSent)
        return;
    m_pollsSent = true;
    m_prompt = m_device.PromptWaiting(m_partLine);
    m_partMatched = !m_prompt.empty();
}

void SessionEngine::SendCommands(SessionActions& out, Poll::Purpose purpose, const std::vector<std::string>& commands)
{
    LearnPrompt();
    Poll& poll = m_polls.emplace_back();
    poll.purpose = purpose;
    poll.commands = poll.repliesDue = static_cast<int>(commands.size());
    poll.texts.resize(commands.size());
    for (std::string& text : poll.texts)
        TakeSpare(text);
    poll.read.resize(commands.size());
    for (const std::string& command : commands) {
        Send(out, command);
        Send(out, m_params.pollLineEnd);
        Trace(out, "sent: ", command);
    }
}

void SessionEngine::Trace(SessionActions& out, std::string_view text, std::string_view more)
{
    // Joined only when tracing: every poll would otherwise pay for text nobody reads.
    if (m_params.trace)
        out.push_back(SessionAction(SessionAction::Kind::Trace, std::string(text).append(more)));
}

void SessionEngine::ReplyEnded(SessionActions& out, std::size_t index, std::chrono::system_clock::time_point now)
{
    Poll& poll = m_polls.front();
    if (index >= poll.texts.size())
        return;
    const DeviceType& type = m_device.type();
    const std::string& text = poll.texts[index];
    Trace(out, "reply:\n", text);
    switch (poll.purpose) {
    case Poll::Purpose::Probe:
        Take(out, m_device.ProbeReplied(text));
        return;
    case Poll::Purpose::Setup:
        if (index + 1 == poll.texts.size() && type.interface.empty() && !type.interfaceQuery.empty()) {
            m_device.SetInterface(FindInterface(type, text));
            Trace(out, "interface: " + (type.interface.empty() ? std::string("none found") : type.interface));
        }
        if (index + 1 == poll.texts.size())
            m_setupDone = true;
        return;
    case Poll::Purpose::Poll:
        break;
    }
    if (index >= type.polls.size())
        return;
    const PollCommand& command = type.polls[index];
    if (command.style == ReplyStyle::Lines && !m_params.trace)
        return; // read line by line as it came
    poll.read[index] = ReadReply(type, command, text, m_params.trace);
    if (command.style == ReplyStyle::Lines)
        return;
    const ReplyReading& r = poll.read[index];
    if (r.noise)
        EmitReading(out, poll.reading.Add(LineLevels{r.noise, {}, {}, {}}), now);
    for (const StationRow& row : r.rows)
        EmitReading(out, poll.reading.Add(LineLevels{{}, row.local, row.remote, row.mac}), now);
}

void SessionEngine::Read(SessionActions& out, const char* line, std::chrono::system_clock::time_point now)
{
    if (*line == '\0')
        return; // nothing to keep, no label in it
    const DeviceType& type = m_device.type();
    if (!m_polls.empty()) {
        Poll& poll = m_polls.front();
        const std::size_t index = static_cast<std::size_t>(std::min(poll.commands - poll.repliesDue, poll.commands - 1));
        const bool lines = poll.purpose == Poll::Purpose::Poll && index < type.polls.size() &&
                           type.polls[index].style == ReplyStyle::Lines;
        if (index < poll.texts.size() && (!lines || m_params.trace)) {
            // A reply's first line follows the prompt the shell waited at.
            std::string_view text(line);
            if (!m_prompt.empty() && text.rfind(m_prompt, 0) == 0)
                text.remove_prefix(m_prompt.size());
            std::string& kept = poll.texts[index];
            if (!text.empty() && kept.size() < kMaxReply)
                kept.append(text).append("\n");
        }
        if (lines)
            EmitReading(out, poll.reading.Add(ScanLabelled(type, type.polls[index], line)), now);
        return;
    }
    // A line outside a poll's replies is a reading of its own, by the first labelled-lines command.
    for (const PollCommand& command : type.polls) {
        if (command.style == ReplyStyle::Lines) {
            PollReading alone;
            EmitReading(out, alone.Add(ScanLabelled(type, command, line)), now);
            return;
        }
    }
}

void SessionEngine::EmitReading(SessionActions& out, std::optional<Reading> reading, std::chrono::system_clock::time_point now)
{
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
    m_awaitingShell = true;
    ShellShown(out);
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
    out.reserve(kUsualActions);
    EndPolls(out, now);
    if (m_awaitingShell && now - m_passwordAt >= kQuietShell && m_device.stage() == DeviceShell::Stage::Untold)
        Take(out, m_device.chosen() ? DetectVerdict{m_device.chosen(), "chosen", {}} : m_device.Untold());
    Proceed(out, true);
    // Polls wait for the setup's replies: they may name the interface. Polls the user asked for
    // before the type was told go as the default type's.
    if (!m_polling || m_device.stage() == DeviceShell::Stage::Probing ||
        (m_device.stage() == DeviceShell::Stage::Told && !m_setupDone))
        return out;
    const DeviceType& type = m_device.type();
    thread_local std::vector<std::string> commands; // their buffers kept: made at every poll
    commands.resize(type.polls.size());
    for (std::size_t i = 0; i < type.polls.size(); ++i)
        type.ExpandInto(type.polls[i].command, commands[i]);
    SendCommands(out, Poll::Purpose::Poll, commands);
    SessionAction polled{SessionAction::Kind::Polled};
    polled.count = static_cast<std::int64_t>(commands.size());
    out.push_back(std::move(polled));
    return out;
}

void SessionEngine::EndPolls(SessionActions& out, std::chrono::system_clock::time_point now)
{
    if (m_prompt.empty()) {
        // No prompt to tell where the replies end: the tick does.
        while (!m_polls.empty())
            EndOldest(out, now);
        return;
    }
    if (m_polls.empty())
        return;
    Poll& oldest = m_polls.front();
    ++oldest.ticks;
    if (oldest.repliesDue < oldest.commands && AtPrompt()) {
        // A shell that ends all replies with one prompt waits at it now.
        EndOldest(out, now);
    } else if (oldest.ticks >= kPromptPatience) {
        m_prompt.clear();
        while (!m_polls.empty())
            EndOldest(out, now);
    }
}

void SessionEngine::EndOldest(SessionActions& out, std::chrono::system_clock::time_point now)
{
    Poll& poll = m_polls.front();
    // Without the prompt's return the reply under way is read as far as it came.
    if (poll.repliesDue > 0)
        ReplyEnded(out, static_cast<std::size_t>(poll.commands - poll.repliesDue), now);
    if (poll.purpose == Poll::Purpose::Setup)
        m_setupDone = true;
    if (m_params.trace && poll.purpose == Poll::Purpose::Poll) {
        const Reading all = CombineReplies(poll.read);
        std::string said = "poll: noise " + (all.noise ? FormatDbm(*all.noise) : std::string("none"));
        for (const StationRow& row : all.stations)
            said += "; station " + (row.mac ? row.mac->ToString() : std::string("?")) + " local " +
                    (row.local ? FormatDbm(*row.local) : std::string("none")) + " remote " +
                    (row.remote ? FormatDbm(*row.remote) : std::string("none"));
        Trace(out, said);
        for (const std::string& why : ExplainMissing(m_device.type(), poll.read, CombineReplies(poll.read)))
            Trace(out, "missing ", why);
    }
    for (std::string& text : poll.texts)
        GiveBack(text);
    m_polls.pop_front();
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
    const std::string& farewell = m_device.type().farewell;
    if (m_shellShown && !m_atLoginPrompt && why != SessionEnd::LoginRejected && !farewell.empty()) {
        Send(out, farewell);
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

} // namespace approbe::session
