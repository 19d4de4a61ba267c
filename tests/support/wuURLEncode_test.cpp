#include "support/wuURLEncode.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(URLEncode, KeepsLettersDigitsAndThreeMarksAndEncodesEveryOtherByte) {
    const std::vector<std::pair<std::string, const char*>> cases = {
        {"klavio", "klavio"},
        {"A b.c_d-e", "A%20b.c_d-e"},
        {"~", "%7E"},
        {"*", "%2A"},
        {"\xFC", "%FC"},
        {"", ""},
        {"a@b.org+100%", "a%40b.org%2B100%25"},
        {std::string("\0\x0A\x7F\x80\xFF", 5), "%00%0A%7F%80%FF"},
        {"09AZaz/?#&=", "09AZaz%2F%3F%23%26%3D"},
    };
    for (const auto& [text, encoded] : cases)
        EXPECT_EQ(URLEncode(text), encoded);
}

} // namespace
