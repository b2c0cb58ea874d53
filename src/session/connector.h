#pragma once

#include <string>

#include "resolver.h"

// A non-blocking TCP connect to each of a name's addresses in turn, within one deadline the loop keeps.
namespace approbe::session {

class Connector {
public:
    void Reset(Addresses addresses);
    // A socket whose connect to the next address is under way, or -1 when no address is left.
    int Next();
    // The socket's connect has finished: whether it is made.
    bool Made(int fd);
    // Why the last address failed.
    std::string failure() const;

private:
    Addresses m_addresses;
    std::size_t m_next = 0;
    int m_error = 0;
};

} // namespace approbe::session
