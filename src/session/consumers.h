#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "reading.h"
#include "session_engine.h"

// Readings and state changes for any number of consumers (a trend graph, a recorder, a tone,
// metrics). The session only ever posts: a post takes a short lock, never waits for a consumer and
// never runs a consumer's code, so no consumer can slow the session or call back into it. A
// consumer that falls behind loses its oldest readings, never a state change.
namespace approbe {

struct SessionUpdate {
    enum class Kind { Reading, State };
    Kind kind = Kind::Reading;
    std::string host;
    Reading reading{};
    SessionState state = SessionState::Idle;
    SessionEnd end = SessionEnd::None;
};

class UpdateMailbox {
public:
    // wake runs on the posting thread after an update was added to an empty mailbox, so that the
    // consumer can schedule a Take on its own thread. It must not block.
    explicit UpdateMailbox(std::size_t capacity = 256, std::function<void()> wake = {});

    void Post(const SessionUpdate& update);
    // Everything posted since the last Take, oldest first.
    std::vector<SessionUpdate> Take();
    // Readings dropped because the consumer fell behind.
    std::uint64_t dropped() const { return m_dropped; }

private:
    const std::size_t m_capacity;
    const std::function<void()> m_wake;
    std::mutex m_mutex;
    std::deque<SessionUpdate> m_queue;
    std::atomic<std::uint64_t> m_dropped{0};
};

class ConsumerHub {
public:
    void Subscribe(std::shared_ptr<UpdateMailbox> mailbox);
    void Unsubscribe(const std::shared_ptr<UpdateMailbox>& mailbox);
    void Publish(const SessionUpdate& update);

private:
    std::mutex m_mutex;
    std::vector<std::shared_ptr<UpdateMailbox>> m_mailboxes;
};

} // namespace approbe
