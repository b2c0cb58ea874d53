#include "session_rig.h"

namespace approbe::test {

SessionRig::SessionRig(const std::string& host, const std::string& port, const std::string& user,
                       const std::string& password, int connectTimeoutMs)
    : profile(dir.file("approbe.ini")), sockets(connectTimeoutMs)
{
    profile.WriteProfileString("Settings", "Host", host);
    profile.WriteProfileString("Settings", "Port", port);
    profile.WriteProfileString("Settings", "User", user);
    profile.WriteProfileString("Settings", "Pass", password);
    core = std::make_unique<CProbeCore>(window, sockets, profile);
    core->OnInitDialog();
    window.clearEvents();
}

SessionRig::SessionRig(const ProfileText& file, int connectTimeoutMs)
    : profile(dir.file("approbe.ini")), sockets(connectTimeoutMs)
{
    WriteFile(profile.path(), file.text);
    core = std::make_unique<CProbeCore>(window, sockets, profile);
    core->OnInitDialog();
}

SessionRig::~SessionRig()
{
    core.reset();
}

bool SessionRig::WaitEnd(std::chrono::milliseconds timeout)
{
    return core->WaitSessionEnd(timeout);
}

std::vector<std::string> SessionRig::Narration()
{
    std::vector<std::string> out;
    for (const std::string& e : window.events()) {
        if (e.rfind("log ", 0) == 0 || e.rfind("caption ", 0) == 0 || e.rfind("connect ", 0) == 0)
            out.push_back(e);
    }
    return out;
}

} // namespace approbe::test
