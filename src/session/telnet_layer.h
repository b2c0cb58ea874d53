#pragma once

#include <memory>
#include <string>
#include <string_view>

struct telnet_t;
union telnet_event_t;

namespace approbe::session {

// The telnet protocol between the socket and the session, on libtelnet: it takes the bytes that
// arrived and gives back their data and what must be answered. Every option the peer asks for is
// refused (DO x: WONT x, WILL x: DONT x), with RFC 1143's option state so that refusals never
// loop. Until the peer has sent a telnet command, nothing is added: data goes out byte for byte
// as it was given.
class TelnetLayer {
public:
    TelnetLayer();
    ~TelnetLayer();
    TelnetLayer(const TelnetLayer&) = delete;
    TelnetLayer& operator=(const TelnetLayer&) = delete;

    // Splits received bytes into data (appended to data) and the layer's own answers (appended to
    // reply). Commands split across calls are joined.
    void Receive(std::string_view bytes, std::string& data, std::string& reply);
    // Data to send, encoded (an 0xFF byte doubled once the peer speaks telnet).
    std::string Encode(std::string_view data);

    bool peerSpeaksTelnet() const { return m_peerSpeaksTelnet; }

private:
    static void OnEvent(telnet_t* telnet, ::telnet_event_t* event, void* self);

    telnet_t* m_telnet = nullptr;
    bool m_peerSpeaksTelnet = false;
    std::string* m_data = nullptr;  // where the current call's output goes
    std::string* m_reply = nullptr;
};

} // namespace approbe::session
