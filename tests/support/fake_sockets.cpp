#include "fake_sockets.h"

#include <cstring>

namespace approbe::test {

std::string FakeSockets::sentText()
{
    std::string all;
    for (const std::string& s : sends())
        all += s;
    return all;
}

int FakeSockets::Startup(std::uint16_t requested, std::uint16_t& ver)
{
    ++m_startups;
    m_real.Startup(requested, ver);
    ver = version;
    return startupResult;
}

bool FakeSockets::LookupHost(const std::string& name, std::uint16_t& family, std::uint32_t& addr)
{
    {
        std::lock_guard lock(m_mutex);
        m_lookups.push_back(name);
    }
    if (!hosts)
        return m_real.LookupHost(name, family, addr);
    const auto it = hosts->find(name);
    if (it == hosts->end())
        return false;
    family = kAfInet;
    addr = it->second;
    return true;
}

long FakeSockets::Recv(Socket s, char* buf, std::size_t len, int timeoutMs)
{
    if (!blocks)
        return m_real.Recv(s, buf, len, timeoutMs);
    if (blocks->empty())
        return 0;
    const std::string block = blocks->front().substr(0, len);
    blocks->pop_front();
    std::memcpy(buf, block.data(), block.size());
    return static_cast<long>(block.size());
}

long FakeSockets::Send(Socket s, const char* buf, std::size_t len)
{
    {
        std::lock_guard lock(m_mutex);
        m_sends.emplace_back(buf, len);
    }
    return blocks ? static_cast<long>(len) : m_real.Send(s, buf, len);
}

} // namespace approbe::test
