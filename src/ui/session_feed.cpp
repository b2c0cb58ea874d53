#include "session_feed.h"

namespace approbe::ui {

QSessionFeed::QSessionFeed(ConsumerHub& hub, QObject* parent)
    : QObject(parent), m_hub(hub), m_target(std::make_shared<Target>())
{
    qRegisterMetaType<approbe::Reading>();
    qRegisterMetaType<approbe::SessionState>();
    qRegisterMetaType<approbe::SessionEnd>();
    m_target->feed = this;
    m_mailbox = std::make_shared<UpdateMailbox>(1024, [target = m_target] {
        std::lock_guard lock(target->mutex);
        if (target->feed)
            QMetaObject::invokeMethod(target->feed, &QSessionFeed::Drain, Qt::QueuedConnection);
    });
    m_hub.Subscribe(m_mailbox);
}

QSessionFeed::~QSessionFeed()
{
    m_hub.Unsubscribe(m_mailbox);
    std::lock_guard lock(m_target->mutex);
    m_target->feed = nullptr;
}

void QSessionFeed::Drain()
{
    for (const SessionUpdate& update : m_mailbox->Take()) {
        const QString host = QString::fromStdString(update.host);
        if (update.kind == SessionUpdate::Kind::Reading)
            emit reading(host, update.reading);
        else
            emit stateChanged(host, update.state, update.end);
    }
}

} // namespace approbe::ui
