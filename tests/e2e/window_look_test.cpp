#include "tests/e2e/x_session.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <optional>

// The whole window, as the real program draws it on an X display, against pictures kept beside
// this file (references/). Set KLAVIO_UPDATE_REFERENCES=1 to write the pictures of this run there
// instead of comparing, and look at every one before committing it.

namespace {

using namespace std::chrono_literals;

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

// Every pixel must agree but for font antialiasing: a glyph's edge may come out a few levels
// lighter or darker with another FreeType, and a handful of its pixels further apart. A moved
// frame, a clipped caption or a changed colour differs in far more pixels than that.
constexpr int kChannelTolerance = 40;
constexpr int kStrayPixelsPerScaleSquared = 12;

// Only the fonts the window asks for, drawn with fixed settings, whatever the machine's or the
// user's font configuration says.
QByteArray FontConfiguration(const QString& cacheFolder) {
    return "<?xml version=\"1.0\"?>\n"
           "<!DOCTYPE fontconfig SYSTEM \"urn:fontconfig:fonts.dtd\">\n"
           "<fontconfig>\n"
           "  <dir>/usr/share/fonts/truetype/liberation2</dir>\n"
           "  <dir>/usr/share/fonts/truetype/dejavu</dir>\n"
           "  <cachedir>/var/cache/fontconfig</cachedir>\n"
           "  <cachedir>" +
           cacheFolder.toUtf8() +
           "</cachedir>\n"
           "  <match target=\"font\">\n"
           "    <edit name=\"antialias\" mode=\"assign\"><bool>true</bool></edit>\n"
           "    <edit name=\"hinting\" mode=\"assign\"><bool>true</bool></edit>\n"
           "    <edit name=\"hintstyle\" mode=\"assign\"><const>hintslight</const></edit>\n"
           "    <edit name=\"rgba\" mode=\"assign\"><const>none</const></edit>\n"
           "    <edit name=\"autohint\" mode=\"assign\"><bool>false</bool></edit>\n"
           "    <edit name=\"embeddedbitmap\" mode=\"assign\"><bool>false</bool></edit>\n"
           "  </match>\n"
           "</fontconfig>\n";
}

bool WriteFile(const QString& path, const QByteArray& text) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

// The window once drawing has finished: the keyboard is there where it should be, and two
// grabs a moment apart agree.
QImage SettledPicture(XSession& session, unsigned long window, int scale, bool keyboard = true) {
    QImage settled;
    Eventually([&] {
        const QImage first = session.Grab(window);
        if (keyboard && !FindKeyboard(first, scale))
            return false;
        QThread::msleep(300);
        settled = session.Grab(window);
        return settled == first;
    });
    return settled;
}

struct Comparison {
    int strayPixels = 0; // further apart than the tolerance allows
    int largestChannelDifference = 0;
    QImage picture; // the reference pale, differences within the tolerance yellow, others red
};

Comparison Compare(const QImage& reference, const QImage& actual) {
    Comparison result;
    result.picture = QImage(reference.size(), QImage::Format_RGB32);
    for (int y = 0; y < reference.height(); ++y) {
        for (int x = 0; x < reference.width(); ++x) {
            const QRgb expected = reference.pixel(x, y);
            const QRgb seen = actual.pixel(x, y);
            const int difference = std::max({std::abs(qRed(expected) - qRed(seen)),
                                             std::abs(qGreen(expected) - qGreen(seen)),
                                             std::abs(qBlue(expected) - qBlue(seen))});
            result.largestChannelDifference = std::max(result.largestChannelDifference, difference);
            const int pale = 192 + qGray(expected) / 4;
            QRgb shown = qRgb(pale, pale, pale);
            if (difference > kChannelTolerance) {
                ++result.strayPixels;
                shown = qRgb(255, 0, 0);
            } else if (difference > 0) {
                shown = qRgb(255, 200, 0);
            }
            result.picture.setPixel(x, y, shown);
        }
    }
    return result;
}

bool UpdatingReferences() {
    return qEnvironmentVariable("KLAVIO_UPDATE_REFERENCES") == QLatin1String("1");
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
    ASSERT_TRUE(config.isValid());
    ASSERT_TRUE(WriteFile(config.filePath("locale.conf"), QByteArray("LANG=") + look.locale));
    ASSERT_TRUE(QDir(config.path()).mkdir("fontconfig-cache"));
    ASSERT_TRUE(WriteFile(config.filePath("fonts.conf"),
                          FontConfiguration(config.filePath("fontconfig-cache"))));
    ProgramRun klavio(
        session, KLAVIO_BINARY,
        {"XDG_CONFIG_HOME=" + config.path(), "FONTCONFIG_FILE=" + config.filePath("fonts.conf"),
         "QT_SCALE_FACTOR=" + QString::number(look.scale),
         // No desktop's theme, style or scaling of its own.
         "QT_QPA_PLATFORMTHEME=", "QT_STYLE_OVERRIDE=", "XDG_CURRENT_DESKTOP=",
         "QT_SCREEN_SCALE_FACTORS=", "QT_FONT_DPI=", "QT_ENABLE_HIGHDPI_SCALING=",
         // No MIDI system: the window says so beside its tabs, in the longest
         // words it has there.
         "JACK_DEFAULT_SERVER=klavio-window-look-no-server", "JACK_NO_START_SERVER=1"});
    const auto window = klavio.WaitForWindow("klavio");
    ASSERT_TRUE(window) << "no klavio window: " << klavio.Output().toStdString();
    QImage actual = SettledPicture(session, *window, look.scale);
    ASSERT_FALSE(actual.isNull()) << "the window never showed its keyboard steadily";
    if (look.soundPage) {
        const QString id = QString::number(*window);
        const QString corner[] = {QString::number(look.screen.width() - 1),
                                  QString::number(look.screen.height() - 1)};
        ASSERT_TRUE(
            session.Run("xdotool", {"mousemove", "--window", id, QString::number(98 * look.scale),
                                    QString::number(11 * look.scale), "click", "1", "mousemove",
                                    corner[0], corner[1]}));
        actual = SettledPicture(session, *window, look.scale, false);
    }

    const QString referencePath =
        QStringLiteral(KLAVIO_E2E_REFERENCES "/") + look.name + QStringLiteral(".png");
    if (UpdatingReferences()) {
        ASSERT_TRUE(actual.save(referencePath, "PNG", 0)) << referencePath.toStdString();
        std::cout << "written " << referencePath.toStdString() << '\n';
        return;
    }
    QImage reference(referencePath);
    ASSERT_FALSE(reference.isNull()) << "no reference " << referencePath.toStdString()
                                     << " (KLAVIO_UPDATE_REFERENCES=1 writes it from this run)";
    reference = reference.convertToFormat(QImage::Format_RGB32);

    const QString output = QStringLiteral(KLAVIO_E2E_OUTPUT);
    const QString actualPath = output + "/" + look.name + "-actual.png";
    const QString differencePath = output + "/" + look.name + "-difference.png";
    QFile::remove(actualPath);
    QFile::remove(differencePath);
    const auto keepForInspection = [&](const QImage& difference) {
        QDir().mkpath(output);
        actual.save(actualPath, "PNG");
        if (!difference.isNull())
            difference.save(differencePath, "PNG");
        return "see " + actualPath.toStdString() +
               (difference.isNull() ? "" : " and " + differencePath.toStdString());
    };
    ASSERT_EQ(actual.size(), reference.size()) << keepForInspection({});
    const Comparison comparison = Compare(reference, actual);
    EXPECT_LE(comparison.strayPixels, kStrayPixelsPerScaleSquared * look.scale * look.scale)
        << "largest channel difference " << comparison.largestChannelDifference << "; "
        << keepForInspection(comparison.picture);
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
