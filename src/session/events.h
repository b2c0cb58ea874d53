#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "host_key.h"
#include "session_engine.h"
#include "setup.h"

// What the loop tells a front end of a session, on the loop's thread.
namespace approbe::session {

struct SessionEvent {
    enum class Kind {
        Engine,        // action: what the engine said (never Send or Close: the loop does those)
        Attempt,       // count: an attempt begins, 0 for the first
        Polled,        // count: a tick sent this many poll commands
        ResolveFailed, // text: the resolver's reason
        ConnectFailed, // text: why; flag: it timed out
        HostKeyQuestion,
        HostKeyChanged, // warning: a known host showed another key; the session is refused
        HostKeyRefused, // text: the refusal's status line; the session ends refused
        Note,          // text: a line of the loop's own (a host key saved, why SSH failed)
        Stale,         // flag: polls have gone unanswered (true) or are answered again (false)
        Retrying,      // delay: the next attempt comes in
    };
    Kind kind = Kind::Engine;
    SessionAction action{SessionAction::Kind::Log};
    std::string text;
    bool flag = false;
    std::int64_t count = 0;
    milliseconds delay{0};
    HostKeyQuestion question;
    HostKeyWarning warning;
};

class ISessionEvents {
public:
    virtual ~ISessionEvents() = default;
    // On the loop's thread. It may call the loop's methods, but must not block.
    virtual void OnSessionEvent(SessionId id, const SessionEvent& event) = 0;
};

} // namespace approbe::session
