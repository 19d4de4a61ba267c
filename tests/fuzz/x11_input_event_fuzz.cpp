// libFuzzer target: any event bytes, with the first byte as the extension's opcode, are read
// without reading past them; what is read is a press or release.
#include "formats/x11_input_event.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::span<const std::uint8_t> event(data + 1, size - 1);
    const std::optional<X11InputEvent> input = ParseX11InputEvent(event, data[0]);
    if (input && (event[0] < 2 || (event[0] > 5 && event[0] != 35)))
        std::abort();
    if (event.size() >= 36)
        (void)XcbEventBytes(event.first<36>());
    return 0;
}
