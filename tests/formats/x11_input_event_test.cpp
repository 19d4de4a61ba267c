#include "formats/x11_input_event.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint8_t kXInput = 131;

// An event as libxcb hands it over (36 bytes, then what a generic event has beyond 32), with
// values written at their offsets in this machine's byte order.
Bytes Event(std::size_t size, std::vector<std::pair<std::size_t, std::uint32_t>> words) {
    Bytes bytes(size);
    for (const auto& [offset, value] : words)
        std::memcpy(bytes.data() + offset, &value, 4);
    return bytes;
}
// Core events: detail 1 at (-3, 60), time 1234. XInput 2's: flags as given, at (7.5, -1).
Bytes Core(std::uint8_t type) {
    return Event(36, {{0, type | 0x100u}, {4, 1234}, {12, 7}, {24, 0x3CFFFD}});
}
Bytes Xi(std::uint16_t type, std::uint32_t flags = 0, std::uint8_t opcode = kXInput) {
    return Event(84, {{0, 35u | opcode << 8},
                      {4, 12},
                      {8, type},
                      {12, 99},
                      {16, 1},
                      {24, 7},
                      {44, 0x78000},
                      {48, 0xFFFF0000},
                      {60, flags}});
}

TEST(X11InputEvent, ReadsCoreAndXInputPressesAndReleasesAndNothingElse) {
    const std::optional<X11InputEvent> core = ParseX11InputEvent(Core(4), kXInput);
    ASSERT_TRUE(core);
    EXPECT_EQ(std::tuple(core->time, core->window, core->detail, core->x, core->y),
              std::tuple(1234u, 7u, 1u, -3.0, 60.0));
    const std::optional<X11InputEvent> xi = ParseX11InputEvent(Xi(4), kXInput);
    ASSERT_TRUE(xi);
    EXPECT_EQ(std::tuple(xi->time, xi->window, xi->detail, xi->x, xi->y, xi->emulatedFromTouch),
              std::tuple(99u, 7u, 1u, 7.5, -1.0, false));
    EXPECT_TRUE(ParseX11InputEvent(Xi(4, 1u << 16), kXInput)->emulatedFromTouch);
    using Kind = X11InputEvent::Kind;
    EXPECT_EQ(ParseX11InputEvent(Core(2), kXInput)->kind, Kind::KeyPress);
    EXPECT_EQ(ParseX11InputEvent(Xi(5), kXInput)->kind, Kind::ButtonRelease);

    const Bytes xiPress = Xi(4);
    EXPECT_EQ(XcbEventBytes(std::span<const std::uint8_t, 36>(xiPress.data(), 36)), 84u);
    // Sent by another client, a motion, another extension, too short, extension unknown.
    for (const auto& [other, opcode] :
         {std::pair(Core(4 | 0x80), kXInput), std::pair(Core(6), kXInput),
          std::pair(Xi(6), kXInput), std::pair(Xi(4, 0, kXInput + 1), kXInput),
          std::pair(Bytes(xiPress.begin(), xiPress.end() - 21), kXInput),
          std::pair(xiPress, std::uint8_t{0})})
        EXPECT_FALSE(ParseX11InputEvent(other, opcode));
}

} // namespace
