#include "telnet_layer.h"

#include <libtelnet.h>

namespace approbe::session {
namespace {

// No option is supported: libtelnet then refuses each one the peer asks for.
constexpr telnet_telopt_t kNoOptions[] = {{-1, 0, 0}};
constexpr char kIac = static_cast<char>(0xFF);

} // namespace

TelnetLayer::TelnetLayer() : m_telnet(telnet_init(kNoOptions, &TelnetLayer::OnEvent, 0, this)) {}

TelnetLayer::~TelnetLayer()
{
    if (m_telnet)
        telnet_free(m_telnet);
}

void TelnetLayer::Receive(std::string_view bytes, std::string& data, std::string& reply)
{
    if (!m_peerSpeaksTelnet && bytes.find(kIac) == std::string_view::npos) {
        data.append(bytes); // the common case, and a peer that never negotiates: nothing to decode
        return;
    }
    m_peerSpeaksTelnet = true;
    m_data = &data;
    m_reply = &reply;
    telnet_recv(m_telnet, bytes.data(), bytes.size());
    m_data = m_reply = nullptr;
}

std::string TelnetLayer::Encode(std::string_view data)
{
    if (!m_peerSpeaksTelnet)
        return std::string(data);
    std::string out;
    m_reply = &out;
    telnet_send(m_telnet, data.data(), data.size());
    m_reply = nullptr;
    return out;
}

void TelnetLayer::OnEvent(telnet_t*, telnet_event_t* event, void* user)
{
    auto* self = static_cast<TelnetLayer*>(user);
    switch (event->type) {
    case TELNET_EV_DATA:
        if (self->m_data)
            self->m_data->append(event->data.buffer, event->data.size);
        break;
    case TELNET_EV_SEND:
        if (self->m_reply)
            self->m_reply->append(event->data.buffer, event->data.size);
        break;
    default:
        break; // negotiation is answered by libtelnet itself; errors drop only the bad command
    }
}

} // namespace approbe::session
