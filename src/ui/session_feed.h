#pragma once

#include <QObject>
#include <QString>
#include <memory>

#include "consumers.h"
#include "reading.h"
#include "session_engine.h"

Q_DECLARE_METATYPE(approbe::Reading)
Q_DECLARE_METATYPE(approbe::SessionState)
Q_DECLARE_METATYPE(approbe::SessionEnd)

namespace approbe::ui {

// A consumer of the session's readings and state changes on the thread of this object: the
// session's post only queues a call here, and the signals are emitted from the event loop, so a
// slow slot never holds up the session.
class QSessionFeed : public QObject {
    Q_OBJECT
public:
    explicit QSessionFeed(ConsumerHub& hub, QObject* parent = nullptr);
    ~QSessionFeed() override;

    // Readings lost because the event loop fell behind.
    std::uint64_t dropped() const { return m_mailbox->dropped(); }

signals:
    void reading(const QString& host, const approbe::Reading& reading);
    void stateChanged(const QString& host, approbe::SessionState state, approbe::SessionEnd end);

private:
    void Drain();

    // Shared with the mailbox's wake: the hub may post to the mailbox after this object is gone
    // (it posts outside its lock), so the wake finds the target through a guarded pointer.
    struct Target {
        std::mutex mutex;
        QSessionFeed* feed = nullptr;
    };
    ConsumerHub& m_hub;
    std::shared_ptr<Target> m_target;
    std::shared_ptr<UpdateMailbox> m_mailbox;
};

} // namespace approbe::ui
