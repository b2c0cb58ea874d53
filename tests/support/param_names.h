#pragma once

#include <gtest/gtest.h>

#include <string>

namespace approbe::test {

// A test name from a text: letters and digits kept, '-' as "m", anything else as '_', the row's
// index in front so that names stay unique and stable from build to build.
inline std::string NameFromText(std::size_t index, const std::string& text)
{
    std::string name = "r" + std::to_string(index) + "_";
    for (unsigned char c : text)
        name += std::isalnum(c) ? std::string(1, static_cast<char>(c)) : c == '-' ? "m" : "_";
    return name;
}

// For rows with a `text` member.
struct ByText {
    template <typename Row> std::string operator()(const ::testing::TestParamInfo<Row>& info) const
    {
        return NameFromText(info.index, info.param.text);
    }
};

} // namespace approbe::test
