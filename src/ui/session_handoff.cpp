#include "session_handoff.h"

namespace approbe::ui {

using session::SessionAction;

void SessionHandoff::Hand(const session::SessionEvent& event)
{
    using Kind = SessionAction::Kind;
    const bool engine = event.kind == session::SessionEvent::Kind::Engine;
    const bool rx = engine && event.action.kind == Kind::RxTotal;
    const bool reading = engine && event.action.kind == Kind::Reading;
    bool wake = false;
    {
        std::lock_guard lock(m_mutex);
        if (!m_open)
            return;
        wake = m_pending.empty();
        if (!rx && !reading) {
            m_pending.push_back({event, std::nullopt, {}});
        } else {
            if (m_pending.empty() || m_pending.back().event)
                m_pending.emplace_back();
            HandedOver& values = m_pending.back();
            if (rx)
                values.rxTotal = event.action.count;
            else
                values.readings.Add(event.action.reading);
        }
    }
    // One wake-up for everything handed over until the window's thread takes it.
    if (wake)
        m_post([self = shared_from_this()] { self->Deliver(); });
}

void SessionHandoff::Close()
{
    std::lock_guard lock(m_mutex);
    m_open = false;
    m_pending.clear();
}

void SessionHandoff::Deliver()
{
    std::vector<HandedOver> entries;
    {
        std::lock_guard lock(m_mutex);
        if (!m_open)
            return;
        entries.swap(m_pending);
    }
    m_receiver(entries);
}

} // namespace approbe::ui
