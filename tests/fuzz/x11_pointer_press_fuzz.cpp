// libFuzzer target: any event bytes, with the first byte as the extension's opcode, are read
// without reading past them; a press read is a button press.
#include "formats/x11_pointer_press.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::span<const std::uint8_t> event(data + 1, size - 1);
    const std::optional<PointerPress> press = ParsePointerPress(event, data[0]);
    if (press && (event[0] != 4 && event[0] != 35))
        std::abort();
    if (event.size() >= 36)
        (void)XcbEventBytes(event.first<36>());
    return 0;
}
