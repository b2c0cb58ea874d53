#include "ssh_transport.h"

#include <sys/epoll.h>

#include "host_key_decision.h"

namespace approbe::session {

void SshTransport::Note(std::string text)
{
    SessionEvent note;
    note.kind = SessionEvent::Kind::Note;
    note.text = std::move(text);
    m_events->Tell(std::move(note));
}

// The first SSH session loads SSH. Without it the session ends as one whose link failed.
void SshTransport::Connected(int fd, ITransportEvents& events)
{
    m_events = &events;
    std::string error;
    if (!(m_ssh = m_module.Get(error))) {
        m_failed = true; // the telnet farewell is no SSH server's business
        Note("SSH: " + error);
        return m_events->Lost(SessionEnd::ReceiveFailed);
    }
    m_link = m_ssh->NewLink(fd, {m_name, m_port, m_setup.user, m_setup.password});
    Advance();
}

void SshTransport::Watch() { m_events->WatchSocket(EPOLLIN | (m_link->WantsWrite() ? EPOLLOUT : 0u)); }

void SshTransport::OnReady(std::uint32_t epollEvents)
{
    if (!m_link)
        return;
    if (m_asking) {
        if (epollEvents & (EPOLLHUP | EPOLLERR))
            m_events->Lost(SessionEnd::ReceiveFailed); // gone while the user was deciding
        return;
    }
    if (epollEvents & EPOLLOUT)
        m_link->FlushOutput();
    if (m_open)
        Read();
    else
        Advance();
}

void SshTransport::Advance()
{
    while (m_link) {
        switch (m_link->Advance()) {
        case ISshLink::Step::Working: return Watch();
        case ISshLink::Step::HostKeyCheck:
            if (!CheckHostKey())
                return;
            m_link->TrustHostKey();
            continue;
        case ISshLink::Step::Open:
            m_open = true;
            m_events->LoggedIn();
            return Read();
        case ISshLink::Step::Rejected: return m_events->LoginRejected();
        case ISshLink::Step::Failed:
            Note("SSH: " + m_link->error());
            return m_events->Lost(SessionEnd::ReceiveFailed);
        }
    }
}

bool SshTransport::CheckHostKey()
{
    const std::string name = m_ssh->KnownHostsName(m_name, m_port);
    const std::string& type = m_link->keyType();
    const std::string& blob = m_link->keyBlob();
    const HostKeyVerdict verdict = m_ssh->CheckHostKey(name, type, blob);
    if (verdict.status == HostKeyStatus::Known)
        return true; // no fingerprint to work out for the usual case
    const std::string fingerprint = m_ssh->Sha256Fingerprint(blob);
    const HostKeyDecision decision =
        DecideHostKey(verdict, m_setup.hostKeys, {m_setup.host, type, fingerprint, m_ssh->AppKnownHostsPath()});
    switch (decision.action) {
    case HostKeyDecision::Action::Trust: return true;
    case HostKeyDecision::Action::Ask: {
        // The user may take as long as they like; Disconnect and closing call the question off.
        m_asking = true;
        m_events->WatchSocket(0);
        SessionEvent ask;
        ask.kind = SessionEvent::Kind::HostKeyQuestion;
        ask.question = {m_name, m_port, type, fingerprint};
        m_events->Tell(std::move(ask));
        return false;
    }
    case HostKeyDecision::Action::SaveAndTrust: {
        std::string error;
        if (m_ssh->SaveHostKey(name, type, blob, error)) {
            Note("new host key " + type + " " + fingerprint + " saved in " + m_ssh->AppKnownHostsPath());
            return true;
        }
        m_events->HostKeyRefused(HostKeyNotSavedText(m_setup.host, error));
        return false;
    }
    case HostKeyDecision::Action::Refuse: break;
    }
    if (decision.warn) {
        SessionEvent changed;
        changed.kind = SessionEvent::Kind::HostKeyChanged;
        changed.warning = {m_setup.host,      m_port,      type, fingerprint, verdict.knownFingerprint,
                           verdict.path, verdict.line, verdict.status == HostKeyStatus::OtherType};
        m_events->Tell(std::move(changed));
    }
    m_events->HostKeyRefused(decision.text);
    return false;
}

void SshTransport::AnswerHostKey(HostKeyAnswer answer)
{
    if (!m_asking)
        return;
    m_asking = false;
    if (answer == HostKeyAnswer::Cancel)
        return m_events->HostKeyRefused(HostKeyNotTrustedText(m_setup.host));
    if (answer == HostKeyAnswer::TrustAndSave) {
        std::string error;
        const std::string name = m_ssh->KnownHostsName(m_name, m_port);
        Note(m_ssh->SaveHostKey(name, m_link->keyType(), m_link->keyBlob(), error)
                 ? "Host key of " + m_setup.host + " saved in " + m_ssh->AppKnownHostsPath()
                 : "Host key not saved: " + error);
    }
    m_link->TrustHostKey();
    Advance();
}

void SshTransport::Read()
{
    if (!m_link)
        return;
    std::string data;
    const ISshLink::ReadResult read = m_link->Read(data);
    if (!data.empty())
        m_events->Received(data);
    if (!m_link)
        return;
    if (read == ISshLink::ReadResult::Ended)
        return m_events->Lost(SessionEnd::PeerClosed);
    if (read == ISshLink::ReadResult::Failed)
        return m_events->Lost(SessionEnd::ReceiveFailed);
    Watch();
}

void SshTransport::Write(const std::string& bytes)
{
    if (!m_link)
        return;
    if (m_open && !m_link->Write(bytes))
        m_failed = true; // the session ends as after a failed send
    Watch();
}

Leftover SshTransport::Close()
{
    Leftover left;
    if (m_link) {
        m_link->Close(); // end of input, the channel closed, goodbye
        m_link.reset();
    }
    // The access point closes the connection once it has read the goodbye.
    left.drain = !m_failed;
    return left;
}

} // namespace approbe::session
