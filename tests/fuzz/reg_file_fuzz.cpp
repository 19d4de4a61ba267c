// libFuzzer target: the settings file parser takes any bytes without faults, and whatever it
// reads it writes back in a form it reads as the same hive, which it writes the same way again.
#include "formats/reg_file.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    // An odd first byte puts the input below a header and a key line, so that the fuzzer spends
    // its runs on value lines instead of rediscovering the header.
    std::string text = (data[0] & 1) != 0 ? "REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\K]\r\n" : "";
    text.append(reinterpret_cast<const char*>(data) + 1, size - 1);
    const RegParseResult parsed = ParseRegFile(text);
    if (!parsed.hive) {
        if (parsed.errorLine == 0 || parsed.error.empty())
            std::abort();
        return 0;
    }
    const std::string written = FormatRegFile(*parsed.hive);
    const RegParseResult reread = ParseRegFile(written);
    if (!reread.hive || !(*reread.hive == *parsed.hive) || FormatRegFile(*reread.hive) != written)
        std::abort();
    return 0;
}
