#include "session_worker.h"

namespace approbe::ui {

using session::HostKeyAnswer;

SessionWorker::SessionWorker(session::Deadlines deadlines, std::shared_ptr<SessionHandoff> handoff)
    : m_deadlines(deadlines), m_handoff(std::move(handoff))
{
}

SessionWorker::~SessionWorker()
{
    Stop();
    if (m_thread.joinable())
        m_thread.join();
}

void SessionWorker::Start(session::SessionSetup setup)
{
    if (!m_loop) {
        m_loop = std::make_unique<session::SessionLoop>(static_cast<session::ISessionEvents&>(*this), m_deadlines);
        m_thread = std::thread([this] {
            m_loop->Run();
            std::lock_guard lock(m_doneMutex);
            m_done = true;
            m_doneCv.notify_all();
        });
    }
    m_loop->Post([this, setup = std::move(setup)] {
        if (m_id)
            m_loop->Remove(*m_id);
        m_id = m_loop->Add(setup);
    });
}

void SessionWorker::OnSession(std::function<void(session::SessionLoop&, session::SessionId)> f)
{
    if (m_loop)
        m_loop->Post([this, f = std::move(f)] {
            if (m_id)
                f(*m_loop, *m_id);
        });
}

void SessionWorker::SetPolling(bool on)
{
    OnSession([on](session::SessionLoop& loop, session::SessionId id) { loop.SetPolling(id, on); });
}

void SessionWorker::Disconnect()
{
    OnSession([](session::SessionLoop& loop, session::SessionId id) { loop.Disconnect(id); });
}

void SessionWorker::PollNow()
{
    OnSession([](session::SessionLoop& loop, session::SessionId id) { loop.PollNow(id); });
}

void SessionWorker::AnswerHostKey(HostKeyAnswer answer)
{
    OnSession([answer](session::SessionLoop& loop, session::SessionId id) { loop.AnswerHostKey(id, answer); });
}

void SessionWorker::SetRetry(bool on)
{
    OnSession([on](session::SessionLoop& loop, session::SessionId id) {
        session::RetryPolicy retry = session::RetryPolicy::Dialog();
        retry.enabled = on;
        loop.SetRetry(id, retry);
    });
}

void SessionWorker::Stop()
{
    if (m_loop)
        m_loop->Stop();
}

bool SessionWorker::Join(std::chrono::milliseconds timeout)
{
    if (!m_loop)
        return true;
    std::unique_lock lock(m_doneMutex);
    if (!m_doneCv.wait_for(lock, timeout, [this] { return m_done; }))
        return false;
    lock.unlock();
    if (m_thread.joinable())
        m_thread.join();
    return true;
}

void SessionWorker::OnSessionEvent(session::SessionId, const session::SessionEvent& event) { m_handoff->Hand(event); }

} // namespace approbe::ui
