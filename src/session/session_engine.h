#pragma once

#include <chrono>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "device_reply.h"
#include "device_shell.h"
#include "reading.h"
#include "telnet_layer.h"

// The session with an access point's command shell, free of I/O: it is told what happened
// (connected, bytes received, the peer closed, a poll tick, Pause, Disconnect, a time-out) and
// answers with what to do, in order. Its drivers do the I/O: the dialog's worker thread, or the
// poller's event loop for many sessions at once. Not thread-safe: one driver feeds it at a time.
namespace approbe::session {

enum class SessionState {
    Idle,      // no session yet
    Starting,  // the driver resolves and connects
    LoggingIn, // connected, the password not answered yet
    LoggedIn,  // the password answered
    Closing,   // our sending side is shut; waiting for the access point to close
    Ended,
};

enum class SessionEnd {
    None,
    StartFailed,   // never connected
    PeerClosed,    // the access point closed the connection
    ReceiveFailed, // a receive or a send failed
    Disconnected,  // the user's Disconnect
    LoginRejected, // a prompt came again after the password was answered
    Silent,        // nothing came for too long
    HostKeyRefused, // SSH: the access point's key was refused, or not trusted by the user
    Removed,       // its driver let it go (the program is closing, the access point left the config)
};

const char* ToString(SessionState state);
const char* ToString(SessionEnd end);

struct SessionParams {
    std::string host; // as typed: it appears in the narration
    std::string user;
    std::string password;
    std::string pollLineEnd = "\r\n"; // after each poll command
    std::string answerEnd = "\r";     // after the prompt answers and the farewell
    bool telnet = true;               // run the received bytes through the telnet layer
    DeviceChoice device{};            // the shell's type: automatic by default
    bool trace = false;               // Trace actions: each command sent, its raw reply, what is missing

    // A session with a shell on a terminal (SSH): no telnet layer, CR line ends (a terminal turns
    // a separate CR LF into two line ends).
    static SessionParams OverTerminal(std::string host, std::string user, std::string password)
    {
        return {std::move(host), std::move(user), std::move(password), "\r", "\r", false};
    }
};

struct SessionAction {
    enum class Kind {
        Send,      // bytes: send them
        Close,     // the session is over: close the connection once what was sent has gone out
        Status,    // text: narration that says where the session stands
        Log,       // text: narration beside it
        RxTotal,   // count: bytes received in the session; added: of them, since the last RxTotal
        Reading,   // reading: values came
        PollingOn, // the shell has shown itself: polling is on
        Polled,    // count: a tick sent this many poll commands (after their Sends)
        Device,    // text: the device type taken; count: the values it gives (DeviceType's kGives bits)
        Trace,     // text: with SessionParams::trace, how the type was told, a command and its reply
        State,     // state (and end): the session's state changed
    };
    SessionAction(Kind k, std::string t = {}) : kind(k), text(std::move(t)) {}

    Kind kind;
    std::string text;
    std::int64_t count = 0;
    std::int64_t added = 0;
    Reading reading{};
    SessionState state = SessionState::Idle;
    SessionEnd end = SessionEnd::None;
};
using SessionActions = std::vector<SessionAction>;

class SessionEngine {
public:
    // A user name or password longer than this is not sent: the answer is built in a 512-byte buffer.
    static constexpr std::size_t kMaxAnswer = 510;
    // After the password, polling starts when the shell shows itself (a whole line that is no
    // prompt, or its own prompt waiting for a command, see ShellPrompt): a login program that is
    // still checking the password, or about to reject it, must not be typed at. A shell that
    // prints nothing is polled from this long after the password on (login programs wait 2 to
    // 3 s before they say a password was wrong).
    static constexpr std::chrono::seconds kQuietShell{5};
    // Text is looked at in whole lines; a part line this long is looked at without waiting for
    // its end, in pieces of this length.
    static constexpr std::size_t kMaxBlock = 511;
    // A poll whose replies have not ended (the prompt has not come back) after this many ticks
    // means the prompt is not what was learned: the polls end at each tick from then on.
    static constexpr int kPromptPatience = 2;

    SessionEngine() = default;

    // A new session: Idle or Ended to Starting. Polling is off; the byte count starts afresh at
    // Connected.
    SessionActions Begin(SessionParams params);
    // The connection is made.
    SessionActions Connected();
    // One block as it came from the connection. Its text is looked at in whole lines, whatever
    // the block boundaries: a prompt (login, password) that waits at the end counts at once.
    // The lines of a poll's replies (from the tick that sent the poll commands until the shell's
    // prompt has come back after both, or the next tick when no prompt is known) make one
    // reading: the first noise floor and the first station row; lines outside a poll are read
    // one by one.
    SessionActions Received(std::string_view bytes, std::chrono::system_clock::time_point now);
    // The transport has logged in by itself (SSH) and the shell is open: connected, polling on.
    SessionActions LoggedInByTransport();
    // The transport's login was refused: "Login to HOST rejected", then the session ends.
    SessionActions LoginRejected();
    // The transport refused the access point's identity: why as the status, then the session ends.
    SessionActions HostKeyRefused(const std::string& why);
    // The one way a session ends, whatever the cause: the farewell to a shell, the close, the
    // end and why (a session that was Closing ends as Disconnected, however the wait ended). A
    // session still Starting just ends.
    SessionActions End(SessionEnd why);
    // Polls went unanswered this long: "HOST silent for N s", then the session ends.
    SessionActions Silent(std::chrono::seconds quiet);
    // The poll timer ticked: the poll commands while polling is on.
    SessionActions Tick(std::chrono::system_clock::time_point now = std::chrono::system_clock::now());
    // Pause and Work: polling off or on, whatever the state (a session not connected yet clears
    // it again when it connects). The user's choice stands: the login's outcome no longer
    // switches polling on by itself.
    void SetPolling(bool on)
    {
        m_polling = on;
        m_awaitingShell = false;
    }
    // Disconnect: polling off. The driver shuts its sending side; sendSideShut says whether that
    // took effect. If it did, the session waits for the access point to close (Closing).
    SessionActions Disconnect(bool sendSideShut);

    SessionState state() const { return m_state; }
    bool polling() const { return m_polling; }
    bool live() const { return m_state == SessionState::LoggingIn || m_state == SessionState::LoggedIn || m_state == SessionState::Closing; }
    // Bytes received since the connection was made.
    std::int64_t received() const { return m_received; }
    const SessionParams& params() const { return m_params; }
    // The shell's prompt as learned at the first poll; empty while none is known.
    const std::string& shellPrompt() const { return m_prompt; }

private:
    // One poll: the replies it still waits for (each ends with the prompt), the ticks it has
    // lasted, what its lines said so far. The probe and the setup commands go the same way.
    struct Poll {
        enum class Purpose { Poll, Probe, Setup };
        Purpose purpose = Purpose::Poll;
        int commands = 0;
        int repliesDue = 0;
        int ticks = 0;
        PollReading reading;
        // The replies read whole when they end (all of them while tracing), and what they gave.
        std::vector<std::string> texts;
        std::vector<ReplyReading> read;
    };
    // A reply's text is kept up to this many bytes: a flood must not grow a poll without end.
    static constexpr std::size_t kMaxReply = 64 * 1024;

    // The status line that says why, then End.
    SessionActions EndSaying(const std::string& status, SessionEnd why);
    void SetState(SessionActions& out, SessionState state, SessionEnd end = SessionEnd::None);
    // The bytes received so far, as an RxTotal.
    void CountReceived(SessionActions& out);
    void Send(SessionActions& out, std::string_view data);
    // Sends text + answerEnd and makes it the examined text; false (and a log line) if too long.
    bool Answer(SessionActions& out, const std::string& text, const char* what, std::string& examined);
    void StartPolling(SessionActions& out);
    // The shell has shown itself after the password: it gets the farewell, and the polls if
    // they wait for it.
    void ShellShown(SessionActions& out);
    // Whole lines out of data: each complete line, and the part line if it holds a login or
    // password prompt, is looked at. True if anything was.
    bool TakeLines(SessionActions& out, std::string_view data, std::chrono::system_clock::time_point now);
    // A line, or a part line that is a prompt: the login's answers, else its levels.
    void LookAt(SessionActions& out, const char* line, std::chrono::system_clock::time_point now);
    void Read(SessionActions& out, const char* line, std::chrono::system_clock::time_point now);
    // Once the part line is as long as the prompt: if it begins with it, a reply has ended.
    void MatchPrompt(SessionActions& out, std::chrono::system_clock::time_point now);
    // The part line begins with the prompt; and nothing but blanks and escape sequences follows
    // it: the shell waits for a command.
    bool PromptBegins() const;
    bool AtPrompt() const;
    // At a tick: the polls whose replies are over by now end.
    void EndPolls(SessionActions& out, std::chrono::system_clock::time_point now);
    // The oldest poll is over: its replies not read yet are read as they are.
    void EndOldest(SessionActions& out, std::chrono::system_clock::time_point now);
    // The reply to the oldest poll's command index has ended.
    void ReplyEnded(SessionActions& out, std::size_t index, std::chrono::system_clock::time_point now);
    // After the password: the type told, the polls started, each as soon as it can be.
    void Proceed(SessionActions& out, bool tick);
    void Take(SessionActions& out, const DetectVerdict& verdict);
    // Commands sent as one step: a poll of the given purpose, each command followed by pollLineEnd.
    void SendCommands(SessionActions& out, Poll::Purpose purpose, const std::vector<std::string>& commands);
    // The prompt the shell waits at before the first command is how its replies will end.
    void LearnPrompt();
    void Trace(SessionActions& out, std::string_view text, std::string_view more = {});
    void EmitReading(SessionActions& out, std::optional<Reading> reading, std::chrono::system_clock::time_point now);

    SessionParams m_params;
    SessionState m_state = SessionState::Idle;
    bool m_polling = false;
    bool m_shutBeforeConnected = false;
    bool m_passwordAnswered = false;
    bool m_awaitingShell = false; // the password answered, polling not started yet
    bool m_shellShown = false;    // a shell has shown itself: the farewell is for it
    bool m_atLoginPrompt = false; // what was looked at last is a login or password prompt
    std::chrono::system_clock::time_point m_passwordAt{};
    std::int64_t m_received = 0;
    std::int64_t m_rxCounted = 0; // the total last told
    std::unique_ptr<TelnetLayer> m_telnet;
    std::string m_partLine;       // the text after the last line end, not looked at yet
    bool m_partMatched = false;   // the part line has been matched against the prompt
    std::string m_prompt;         // the shell's prompt, learned at the first poll
    bool m_pollsSent = false;
    std::deque<Poll> m_polls;     // the polls whose replies are under way, oldest first
    DeviceShell m_device;
    bool m_setupDone = false;     // the type's setup commands have been answered (or there are none)
};

} // namespace approbe::session
