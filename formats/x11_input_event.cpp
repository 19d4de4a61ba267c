#include "formats/x11_input_event.h"

namespace {

constexpr std::uint8_t kGenericEvent = 35;
constexpr std::uint32_t kXiPointerEmulated = 1u << 16;
// 32 bytes of event and libxcb's full sequence number after them.
constexpr std::size_t kXcbEventBytes = 36;
// An XInput 2 device event up to and including its flags, as libxcb lays it out.
constexpr std::size_t kXiDeviceEventBytes = 64;

// The X server writes in the client's byte order, which is this machine's.
template <typename T> T Read(std::span<const std::uint8_t> bytes, std::size_t offset) {
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i)
        value = static_cast<T>(value | static_cast<T>(T{bytes[offset + i]} << (8 * i)));
    return value;
}

// XInput 2 gives positions as 16.16 fixed point.
double FromFixed1616(std::uint32_t raw) {
    return static_cast<std::int32_t>(raw) / 65536.0;
}

// Key and button presses and releases share their numbers in both protocols.
bool IsPressOrRelease(unsigned type) {
    return type >= static_cast<unsigned>(X11InputEvent::Kind::KeyPress) &&
           type <= static_cast<unsigned>(X11InputEvent::Kind::ButtonRelease);
}

} // namespace

std::uint64_t XcbEventBytes(std::span<const std::uint8_t, 36> head) {
    if (head[0] != kGenericEvent)
        return kXcbEventBytes;
    // Its length counts the four-byte units beyond the first 32 bytes.
    return kXcbEventBytes + 4ull * Read<std::uint32_t>(head, 4);
}

std::optional<X11InputEvent> ParseX11InputEvent(std::span<const std::uint8_t> event,
                                                std::uint8_t xinputOpcode) {
    if (event.size() < kXcbEventBytes)
        return std::nullopt;
    // The top bit marks an event another client sent: nothing the user did here.
    const std::uint8_t type = event[0];
    X11InputEvent input;
    if (IsPressOrRelease(type)) {
        input.kind = static_cast<X11InputEvent::Kind>(type);
        input.detail = event[1];
        input.time = Read<std::uint32_t>(event, 4);
        input.window = Read<std::uint32_t>(event, 12);
        input.x = Read<std::int16_t>(event, 24);
        input.y = Read<std::int16_t>(event, 26);
        return input;
    }
    if (type != kGenericEvent || xinputOpcode == 0 || event[1] != xinputOpcode ||
        event.size() < kXiDeviceEventBytes)
        return std::nullopt;
    const std::uint16_t xiType = Read<std::uint16_t>(event, 8);
    if (!IsPressOrRelease(xiType))
        return std::nullopt;
    input.kind = static_cast<X11InputEvent::Kind>(xiType);
    input.time = Read<std::uint32_t>(event, 12);
    input.detail = Read<std::uint32_t>(event, 16);
    input.window = Read<std::uint32_t>(event, 24);
    input.x = FromFixed1616(Read<std::uint32_t>(event, 44));
    input.y = FromFixed1616(Read<std::uint32_t>(event, 48));
    input.emulatedFromTouch = (Read<std::uint32_t>(event, 60) & kXiPointerEmulated) != 0;
    return input;
}
