#include "app/window_placement.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// The window as designed, with a frame of 4 pixels and a 24-pixel title bar around its
// 801x209 client area at (441, 292).
const QRect kFramed(437, 268, 809, 237);

TEST(WindowPlacement, MovedOnlyAsFarAsTheScreenNeeds) {
    struct Case {
        QRect available;
        QPoint expected;
    };
    const std::vector<Case> cases = {
        {{0, 0, 1920, 1080}, {437, 268}},      // fits: the designed place
        {{0, 0, 1600, 1000}, {437, 268}},      //
        {{0, 0, 1280, 720}, {437, 268}},       // 1246 x 505: still fits
        {{0, 32, 1280, 688}, {437, 268}},      // a top panel leaves room enough
        {{0, 0, 1024, 400}, {215, 163}},       // right and bottom edges pulled in
        {{0, 0, 800, 600}, {0, 268}},          // narrower than the window
        {{0, 0, 640, 200}, {0, 0}},            // smaller both ways: top-left on the screen's
        {{1920, 0, 1280, 1024}, {1920, 268}},  // right-hand monitor: pulled onto it
        {{-1280, 0, 1280, 720}, {-809, 268}},  // left-hand monitor
        {{0, -1080, 1920, 1080}, {437, -237}}, // monitor above
        {{0, 0, 0, 0}, {437, 268}},            // no screen known: left alone
    };
    for (const Case& c : cases)
        EXPECT_EQ(PlaceOnScreen(kFramed, c.available), c.expected)
            << c.available.x() << "," << c.available.y() << " " << c.available.width() << "x"
            << c.available.height();
}

} // namespace
