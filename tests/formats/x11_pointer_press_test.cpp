#include "formats/x11_pointer_press.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint8_t kXInput = 131;

void Put(Bytes& bytes, std::size_t offset, std::uint32_t value, std::size_t size = 4) {
    std::memcpy(bytes.data() + offset, &value, size);
}

Bytes CorePress(std::uint8_t type, std::uint8_t button) {
    Bytes bytes(36);
    bytes[0] = type;
    bytes[1] = button;
    Put(bytes, 4, 1234);      // time
    Put(bytes, 12, 0x400007); // event window
    Put(bytes, 24, static_cast<std::uint16_t>(-3), 2);
    Put(bytes, 26, 60, 2);
    return bytes;
}

// As libxcb hands it over: 36 bytes, then the 48 beyond the first 32 on the wire.
Bytes XiEvent(std::uint16_t type, std::uint32_t flags = 0, std::uint8_t extension = kXInput) {
    Bytes bytes(84);
    bytes[0] = 35;
    bytes[1] = extension;
    Put(bytes, 4, 12); // length
    Put(bytes, 8, type, 2);
    Put(bytes, 12, 99); // time
    Put(bytes, 16, 1);  // button
    Put(bytes, 24, 0x400007);
    Put(bytes, 44, 0x00078000); // 7.5
    Put(bytes, 48, 0xFFFF0000); // -1
    Put(bytes, 60, flags);
    return bytes;
}

TEST(PointerPress, ReadsCoreAndXInputPressesAndNothingElse) {
    const std::optional<PointerPress> core = ParsePointerPress(CorePress(4, 1), kXInput);
    ASSERT_TRUE(core);
    EXPECT_EQ(core->time, 1234u);
    EXPECT_EQ(core->window, 0x400007u);
    EXPECT_EQ(core->x, -3);
    EXPECT_EQ(core->y, 60);
    const std::optional<PointerPress> xi = ParsePointerPress(XiEvent(4), kXInput);
    ASSERT_TRUE(xi);
    EXPECT_EQ(xi->time, 99u);
    EXPECT_EQ(xi->button, 1u);
    EXPECT_EQ(xi->x, 7.5);
    EXPECT_EQ(xi->y, -1);
    EXPECT_FALSE(xi->emulatedFromTouch);
    EXPECT_TRUE(ParsePointerPress(XiEvent(4, 1u << 16), kXInput)->emulatedFromTouch);

    const Bytes xiPress = XiEvent(4);
    EXPECT_EQ(XcbEventBytes(std::span<const std::uint8_t, 36>(xiPress.data(), 36)), 84u);
    for (const Bytes& other :
         {CorePress(4 | 0x80, 1), CorePress(5, 1), XiEvent(5), XiEvent(4, 0, kXInput + 1),
          Bytes(xiPress.begin(), xiPress.end() - 21), Bytes(35, 4)})
        EXPECT_FALSE(ParsePointerPress(other, kXInput));
    EXPECT_FALSE(ParsePointerPress(xiPress, 0)); // the extension not yet known
}

} // namespace
