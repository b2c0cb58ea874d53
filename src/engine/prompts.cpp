#include "prompts.h"

#include <cstring>

namespace approbe {

bool HasPrompt(const char* text, const char* label)
{
    const std::size_t length = std::strlen(label);
    for (const char* at = std::strstr(text, label); at; at = std::strstr(at + 1, label)) {
        const char* p = at + length;
        while (*p == ' ' || *p == '\t')
            ++p;
        if (*p == '\0' || *p == '\r' || *p == '\n')
            return true;
    }
    return false;
}

} // namespace approbe
