#include "consumers.h"

#include <algorithm>

namespace approbe {

UpdateMailbox::UpdateMailbox(std::size_t capacity, std::function<void()> wake)
    : m_capacity(std::max<std::size_t>(capacity, 1)), m_wake(std::move(wake))
{
}

void UpdateMailbox::Post(const SessionUpdate& update)
{
    bool wasEmpty = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_queue.size() >= m_capacity) {
            // Make room by the oldest reading; state changes are few and each one matters.
            auto oldest = std::find_if(m_queue.begin(), m_queue.end(),
                                       [](const SessionUpdate& u) { return u.kind == SessionUpdate::Kind::Reading; });
            if (oldest == m_queue.end())
                oldest = m_queue.begin();
            m_queue.erase(oldest);
            ++m_dropped;
        }
        wasEmpty = m_queue.empty();
        m_queue.push_back(update);
    }
    if (wasEmpty && m_wake)
        m_wake();
}

std::vector<SessionUpdate> UpdateMailbox::Take()
{
    std::lock_guard lock(m_mutex);
    std::vector<SessionUpdate> out(std::make_move_iterator(m_queue.begin()), std::make_move_iterator(m_queue.end()));
    m_queue.clear();
    return out;
}

void ConsumerHub::Subscribe(std::shared_ptr<UpdateMailbox> mailbox)
{
    std::lock_guard lock(m_mutex);
    m_mailboxes.push_back(std::move(mailbox));
}

void ConsumerHub::Unsubscribe(const std::shared_ptr<UpdateMailbox>& mailbox)
{
    std::lock_guard lock(m_mutex);
    std::erase(m_mailboxes, mailbox);
}

void ConsumerHub::Publish(const SessionUpdate& update)
{
    std::vector<std::shared_ptr<UpdateMailbox>> targets;
    {
        std::lock_guard lock(m_mutex);
        targets = m_mailboxes;
    }
    for (const auto& mailbox : targets)
        mailbox->Post(update);
}

} // namespace approbe
