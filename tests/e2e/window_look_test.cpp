#include "tests/e2e/window_pictures.h"
#include "tests/e2e/x_session.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>

// The whole window, as the real program draws it on an X display, against the kept pictures.

namespace {

struct Look {
    const char* name; // the reference's file name, without ".png"
    const char* locale;
    int scale;
    QSize screen;           // big enough for the window at its designed place
    bool soundPage = false; // the Sound page instead of the Keyboard page
};

void PrintTo(const Look& look, std::ostream* out) {
    *out << look.name;
}

class WindowLook : public ::testing::TestWithParam<Look> {};

TEST_P(WindowLook, MatchesTheKeptPicture) {
    const Look& look = GetParam();
    if (access("/dev/snd/seq", R_OK | W_OK) == 0)
        GTEST_SKIP() << "this machine has an ALSA sequencer: the window would list its devices";
    XSession session(look.screen);
    ASSERT_TRUE(session.Started()) << "Xvfb did not start";
    // The pointer out of the window's way: a control under it would be drawn hovered.
    ASSERT_TRUE(session.Run("xdotool", {"mousemove", QString::number(look.screen.width() - 1),
                                        QString::number(look.screen.height() - 1)}));

    QTemporaryDir config;
    const QStringList environment = PictureEnvironment(config, look.locale, look.scale);
    ASSERT_FALSE(environment.isEmpty()) << "cannot write the settings and fonts";
    ProgramRun klavio(session, KLAVIO_BINARY, environment);
    const auto window = klavio.WaitForWindow("klavio");
    ASSERT_TRUE(window) << "no klavio window: " << klavio.Output().toStdString();
    QImage actual = SettledPicture([&] { return session.Grab(*window); }, look.scale);
    ASSERT_FALSE(actual.isNull()) << "the window never showed its keyboard steadily";
    if (look.soundPage) {
        const QString id = QString::number(*window);
        const QString corner[] = {QString::number(look.screen.width() - 1),
                                  QString::number(look.screen.height() - 1)};
        ASSERT_TRUE(
            session.Run("xdotool", {"mousemove", "--window", id, QString::number(98 * look.scale),
                                    QString::number(11 * look.scale), "click", "1", "mousemove",
                                    corner[0], corner[1]}));
        actual = SettledPicture([&] { return session.Grab(*window); }, look.scale, false);
    }

    EXPECT_TRUE(MatchesKeptPicture(actual, look.name, look.scale));
}

INSTANTIATE_TEST_SUITE_P(
    EnglishAndGermanAtScaleOneAndTwo, WindowLook,
    ::testing::Values(Look{"window-en-1x", "en_US.UTF-8", 1, {1280, 1024}},
                      Look{"window-de-1x", "de_DE.UTF-8", 1, {1280, 1024}},
                      Look{"window-en-2x", "en_US.UTF-8", 2, {2600, 1100}},
                      Look{"window-de-2x", "de_DE.UTF-8", 2, {2600, 1100}},
                      Look{"sound-en-1x", "en_US.UTF-8", 1, {1280, 1024}, true},
                      Look{"sound-de-2x", "de_DE.UTF-8", 2, {2600, 1100}, true}),
    [](const auto& info) {
        QString name = info.param.name;
        return name.remove('-').toStdString();
    });

} // namespace
