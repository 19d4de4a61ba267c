#include "tests/e2e/x_session.h"

#include <QElapsedTimer>
#include <QThread>
#include <gtest/gtest.h>

#include <functional>
#include <optional>

namespace {

using namespace std::chrono_literals;

constexpr QRgb kBlack = 0xFF000000;
constexpr QRgb kWhite = 0xFFFFFFFF;
constexpr int kKeyboardWidth = 780;
constexpr int kKeyboardHeight = 75;

TEST(Smoke, KeyboardIsDrawnPlayedAndClosedCleanly) {
    XSession session;
    ASSERT_TRUE(session.Started()) << "Xvfb did not start";
    ProgramRun klavio(session, KLAVIO_BINARY);
    const auto window = klavio.WaitForWindow("klavio");
    ASSERT_TRUE(window) << "no klavio window: " << klavio.Output().toStdString();

    QImage shot;
    std::optional<QPoint> keyboard;
    ASSERT_TRUE(Eventually([&] {
        shot = session.Grab(*window);
        keyboard = FindKeyboard(shot);
        return keyboard.has_value();
    })) << "no keyboard in the window";
    const QPoint k = *keyboard;
    auto at = [&](const QImage& image, int x, int y) { return image.pixel(k + QPoint(x, y)); };
    // A0's key, its boundary line to B0, and the black key A#0 on that line.
    EXPECT_EQ(at(shot, 7, 60), kWhite);
    EXPECT_EQ(at(shot, 15, 60), kBlack);
    EXPECT_EQ(at(shot, 16, 20), kBlack);
    EXPECT_EQ(at(shot, 11, 20), kWhite);
    const QImage released = shot.copy(QRect(k, QSize(kKeyboardWidth, kKeyboardHeight)));

    const QPoint press = k + QPoint(7, 60);
    ASSERT_TRUE(session.Run("xdotool", {"mousemove", "--window", QString::number(*window),
                                        QString::number(press.x()), QString::number(press.y()),
                                        "mousedown", "1"}));
    ASSERT_TRUE(Eventually([&] {
        shot = session.Grab(*window);
        return at(shot, 7, 60) == kBlack;
    })) << "A0 did not show pressed";
    // The lower area x 2 to 13, y 46 to 72 is inverted, its one-pixel margin is not.
    EXPECT_EQ(at(shot, 2, 46), kBlack);
    EXPECT_EQ(at(shot, 13, 72), kBlack);
    EXPECT_EQ(at(shot, 1, 46), kWhite);
    EXPECT_EQ(at(shot, 14, 60), kWhite);
    EXPECT_EQ(at(shot, 7, 73), kWhite);

    ASSERT_TRUE(session.Run("xdotool", {"mouseup", "1"}));
    ASSERT_TRUE(Eventually([&] {
        shot = session.Grab(*window);
        return shot.copy(QRect(k, QSize(kKeyboardWidth, kKeyboardHeight))) == released;
    })) << "A0 did not return to its released picture";

    session.RequestClose(*window);
    ASSERT_TRUE(klavio.WaitForExit(20s)) << "klavio did not end after its window was closed";
    EXPECT_FALSE(klavio.CrashedOrKilled());
    EXPECT_EQ(klavio.ExitCode(), 0) << klavio.Output().toStdString();
}

} // namespace
