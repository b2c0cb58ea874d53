#include "probe.h"

#include <cstdio>
#include <string_view>

#include "linked_module.h"
#include "loop.h"

namespace approbe::poller {
namespace {

using session::DeviceType;
using session::SessionAction;
using session::SessionState;

// What an access point sent, fit for the operator's terminal: a control character is shown as
// \xHH (a CR that ends a line is left out), so no escape sequence of the shell's reaches the
// terminal, where one could move the cursor, retitle the window or make it answer a query.
std::string Printable(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

class ProbeRun : public session::ISessionEvents {
public:
    explicit ProbeRun(std::FILE* out) : m_out(out) {}

    void OnSessionEvent(session::SessionId, const session::SessionEvent& event) override
    {
        using Kind = session::SessionEvent::Kind;
        switch (event.kind) {
        case Kind::ResolveFailed:
        case Kind::ConnectFailed:
        case Kind::HostKeyRefused:
        case Kind::Note:
            Say("note: " + event.text);
            break;
        case Kind::Retrying: // one attempt is all a probe makes
            m_loop->Stop();
            break;
        case Kind::Engine: Engine(event.action); break;
        default: break;
        }
    }

    void Run(session::SessionSetup setup)
    {
        session::SessionLoop loop(*this, {}, ssh::LinkedModule);
        m_loop = &loop;
        loop.Add(std::move(setup));
        loop.Run();
        m_loop = nullptr;
    }

    bool polled() const { return m_polled; }

private:
    void Engine(const SessionAction& a)
    {
        switch (a.kind) {
        case SessionAction::Kind::Status:
        case SessionAction::Kind::Log: Say("log: " + a.text); break;
        case SessionAction::Kind::Trace:
            Say(a.text);
            // One whole poll tells what the access point gives: then the farewell, as the loop
            // says it to every session when it stops.
            if (a.text.rfind("poll: ", 0) == 0 && !m_polled) {
                m_polled = true;
                m_loop->Stop();
            }
            break;
        case SessionAction::Kind::State:
            if (a.state == SessionState::Ended) {
                Say(std::string("ended: ") + ToString(a.end));
                m_loop->Stop();
            }
            break;
        default: break;
        }
    }

    void Say(const std::string& line)
    {
        std::fprintf(m_out, "%s\n", Printable(line).c_str());
        std::fflush(m_out);
    }

    std::FILE* m_out;
    session::SessionLoop* m_loop = nullptr;
    bool m_polled = false;
};

} // namespace

int Probe(const PollerConfig& config, const ApConfig& ap, const std::optional<DeviceType>& type, std::FILE* out)
{
    session::SessionSetup setup;
    setup.host = ap.host;
    setup.port = ap.port;
    setup.user = ap.user;
    setup.password = ap.password;
    setup.pollPeriod = std::chrono::milliseconds(config.pollMs);
    setup.hostKeys = ap.acceptNewHostKey ? session::HostKeyPolicy::AcceptNew : session::HostKeyPolicy::Strict;
    setup.retry = session::RetryPolicy::Poller(1);
    std::vector<DeviceType> types = config.deviceTypes;
    setup.device.name = ap.deviceType;
    if (type) {
        // The type being written stands in for any of the same name.
        std::erase_if(types, [&](const DeviceType& t) { return t.name == type->name; });
        types.insert(types.begin(), *type);
        setup.device.name = type->name;
    }
    setup.device.userTypes = std::make_shared<const std::vector<DeviceType>>(std::move(types));
    setup.trace = true;
    std::fprintf(out, "probing %s (%s:%d) as %s\n", ap.name.c_str(), ap.host.c_str(), ap.port, setup.device.name.c_str());
    ProbeRun run(out);
    run.Run(std::move(setup));
    return run.polled() ? 0 : 1;
}

} // namespace approbe::poller
