#include "support/wuURLEncode.h"

namespace {

bool StaysAsItIs(unsigned char byte) {
    return (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
           (byte >= 'a' && byte <= 'z') || byte == '-' || byte == '.' || byte == '_';
}

} // namespace

std::string URLEncode(std::string_view Text) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string result;
    result.reserve(Text.size());
    for (const char c : Text) {
        const auto byte = static_cast<unsigned char>(c);
        if (StaysAsItIs(byte)) {
            result.push_back(c);
        } else {
            result.push_back('%');
            result.push_back(kDigits[byte >> 4]);
            result.push_back(kDigits[byte & 0x0F]);
        }
    }
    return result;
}
