#include "platform/linux/jack/jack_ring.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <vector>

namespace {

// Records of a head and a body pass through a ring far smaller than their total, so every
// place where the ring wraps lands inside a head or a body at some point.
TEST(JackRing, PublishesWholeRecordsAcrossTheWrap) {
    Ring ring(64); // libjack rounds up to a power of two and keeps one byte free
    ASSERT_TRUE(ring.Valid());
    std::uint32_t sent = 0;
    std::uint32_t received = 0;
    const auto drain = [&] {
        std::uint32_t head = 0;
        while (ring.PeekAt(0, &head, sizeof head)) {
            std::vector<std::uint8_t> got(head);
            ASSERT_TRUE(ring.PeekAt(sizeof head, got.data(), head)) << "record half there";
            for (std::size_t i = 1; i < got.size(); ++i)
                ASSERT_EQ(static_cast<std::uint8_t>(got[i] - got[i - 1]), 1);
            ring.Skip(sizeof head + head);
            ++received;
        }
    };
    for (int round = 0; round < 500; ++round) {
        const std::uint32_t size = static_cast<std::uint32_t>(round % 30);
        std::vector<std::uint8_t> body(size);
        std::iota(body.begin(), body.end(), static_cast<std::uint8_t>(round));
        if (ring.Push(&size, sizeof size, body.data(), body.size()))
            ++sent;
        // The reader takes every third round, so the ring also fills up and refuses.
        if (round % 3 == 2)
            drain();
    }
    drain();
    EXPECT_EQ(received, sent);
    EXPECT_GT(sent, 150u);
    EXPECT_LT(sent, 500u); // some records were refused whole when the ring was full
    EXPECT_EQ(ring.ReadSpace(), 0u);
}

} // namespace
