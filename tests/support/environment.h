#pragma once

#include <cstdlib>
#include <string>

namespace approbe::test {

// A variable a test's runner script hands over; empty when it is not set.
inline std::string Env(const char* name)
{
    const char* v = std::getenv(name);
    return v ? v : "";
}

} // namespace approbe::test
