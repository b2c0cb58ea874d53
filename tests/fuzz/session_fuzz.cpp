// A whole session on arbitrary received blocks: a real CProbeCore worker reads them through
// FakeSockets' block list until a block is empty or the list ends. The input is the user name,
// the password and the blocks, separated by the record separator byte.
#include <chrono>
#include <map>

#include "fake_sockets.h"
#include "fuzz_support.h"
#include "probe_core.h"

using namespace approbe;
using namespace approbe::fuzz;

namespace {

class MemoryProfile : public IProfile {
public:
    std::string GetProfileString(const std::string& section, const std::string& key,
                                 const std::string& fallback) override
    {
        const auto it = m_values.find(section + "/" + key);
        return it == m_values.end() ? fallback : it->second;
    }
    bool WriteProfileString(const std::string& section, const std::string& key, const std::string& value) override
    {
        m_values[section + "/" + key] = value;
        return true;
    }

private:
    std::map<std::string, std::string> m_values;
};

// What the session must send and read, worked out from the blocks alone: a block holding
// "login:" is answered with the user name, which then stands in for the block; the text then
// holding "Password:" is answered with the password likewise; the rest is scanned.
struct Expected {
    std::vector<std::string> sends;
    Reference reference;
    std::int64_t received = 0;
};

// The answer as the session builds it, or nothing when it does not fit the receive buffer.
bool Answer(const std::string& text, std::string& block, std::vector<std::string>& sends)
{
    if (text.size() + 2 > 512) {
        block.clear();
        return false;
    }
    block = std::string(CText(text)) + "\r";
    sends.push_back(block);
    return true;
}

Expected Model(const std::string& user, const std::string& password, const std::vector<std::string>& blocks)
{
    Expected e;
    for (const std::string& raw : blocks) {
        if (raw.empty())
            break; // read as the access point closing
        const std::string block = raw.substr(0, 511);
        e.received += static_cast<std::int64_t>(block.size());
        std::string text(CText(block));
        if (text.find("login:") != std::string::npos)
            Answer(user, text, e.sends);
        if (text.find("Password:") != std::string::npos)
            Answer(password, text, e.sends);
        e.reference.Read(text);
    }
    e.sends.push_back("q");
    e.sends.push_back("\r");
    return e;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> parts = SplitBlocks(data, size);
    const std::string user = parts[0];
    const std::string password = parts.size() > 1 ? parts[1] : "secret";
    const std::vector<std::string> blocks(parts.begin() + std::min<std::size_t>(2, parts.size()), parts.end());

    MemoryProfile profile;
    profile.WriteProfileString("Settings", "Host", "127.0.0.1");
    profile.WriteProfileString("Settings", "User", user);
    profile.WriteProfileString("Settings", "Pass", password);
    test::FakeWindow window;
    window.keepValueEvents(false);
    test::FakeSockets sockets;
    sockets.blocks.emplace(blocks.begin(), blocks.end());
    {
        CProbeCore core(window, sockets, profile);
        core.OnInitDialog();
        core.OnOK();
        Check(core.WaitSessionEnd(std::chrono::seconds(10)), "the session ends on its own");

        const Expected e = Model(user, password, blocks);
        Check(sockets.sends() == e.sends, "only prompts are answered, and the session ends with q");
        e.reference.Compare(core.measurements());
        Check(core.measurements().m_nRxTotal == e.received, "every received byte counted");
        CheckShownAverage(window, core.measurements());
        Check(window.events("timer start").size() == window.events("timer stop").size() && window.connectEnabled(),
              "timer stopped and Connect given back");
        Check(window.caption() == "Test Korvane AP DISCONNECT", "normal teardown");
        Check(sockets.openSockets() == 0, "socket closed");
    }
    return 0;
}
