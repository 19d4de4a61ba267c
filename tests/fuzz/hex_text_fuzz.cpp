// libFuzzer target: the command-text functions take any text without faults and keep their
// promises about what they return.
#include "app/uStuff.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const bool acceptable = IsHexText(text, true);
    const std::string digits = ExtractHexDigits(text);
    if (!IsHexText(digits, false) || digits.size() > size)
        std::abort();
    if (acceptable && IsHexText(text, false) && digits != text)
        std::abort();
    if (HexDigitsToBytes(digits).size() != digits.size() / 2)
        std::abort();
    const std::string trimmed = TrimBlanks(text);
    if (trimmed.size() > size ||
        (!trimmed.empty() && static_cast<unsigned char>(trimmed[0]) <= ' '))
        std::abort();
    return 0;
}
