#include "tests/e2e/window_pictures.h"

#include "tests/e2e/x_session.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdlib>
#include <iostream>

namespace {

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

} // namespace

QStringList PictureEnvironment(const QTemporaryDir& config, const char* locale, int scale) {
    if (!config.isValid() ||
        !WriteFile(config.filePath("locale.conf"), QByteArray("LANG=") + locale) ||
        !QDir(config.path()).mkdir("fontconfig-cache") ||
        !WriteFile(config.filePath("fonts.conf"),
                   FontConfiguration(config.filePath("fontconfig-cache"))))
        return {};
    return {"XDG_CONFIG_HOME=" + config.path(), "FONTCONFIG_FILE=" + config.filePath("fonts.conf"),
            "QT_SCALE_FACTOR=" + QString::number(scale),
            // No desktop's theme, style or scaling of its own.
            "QT_QPA_PLATFORMTHEME=", "QT_STYLE_OVERRIDE=", "XDG_CURRENT_DESKTOP=",
            "QT_SCREEN_SCALE_FACTORS=", "QT_FONT_DPI=", "QT_ENABLE_HIGHDPI_SCALING=",
            // No MIDI system: the window says so beside its tabs, in the longest
            // words it has there.
            "JACK_DEFAULT_SERVER=klavio-window-look-no-server", "JACK_NO_START_SERVER=1"};
}

QImage SettledPicture(const std::function<QImage()>& grab, int scale, bool keyboard) {
    QImage settled;
    const bool steady = Eventually([&] {
        const QImage first = grab();
        if (first.isNull() || (keyboard && !FindKeyboard(first, scale)))
            return false;
        QThread::msleep(300);
        settled = grab();
        return settled == first;
    });
    return steady ? settled : QImage();
}

::testing::AssertionResult MatchesKeptPicture(const QImage& actual, const QString& name,
                                              int scale) {
    const QString referencePath = QStringLiteral(KLAVIO_E2E_REFERENCES "/") + name + ".png";
    if (qEnvironmentVariable("KLAVIO_UPDATE_REFERENCES") == QLatin1String("1")) {
        if (!actual.save(referencePath, "PNG", 0))
            return ::testing::AssertionFailure() << "cannot write " << referencePath.toStdString();
        std::cout << "written " << referencePath.toStdString() << '\n';
        return ::testing::AssertionSuccess();
    }
    QImage reference(referencePath);
    if (reference.isNull())
        return ::testing::AssertionFailure()
               << "no reference " << referencePath.toStdString()
               << " (KLAVIO_UPDATE_REFERENCES=1 writes it from this run)";
    reference = reference.convertToFormat(QImage::Format_RGB32);

    const QString output = QStringLiteral(KLAVIO_E2E_OUTPUT);
    const QString actualPath = output + "/" + name + "-actual.png";
    const QString differencePath = output + "/" + name + "-difference.png";
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
    if (actual.size() != reference.size())
        return ::testing::AssertionFailure()
               << "size " << actual.width() << "x" << actual.height() << " instead of "
               << reference.width() << "x" << reference.height() << "; " << keepForInspection({});
    const Comparison comparison = Compare(reference, actual);
    if (comparison.strayPixels > kStrayPixelsPerScaleSquared * scale * scale)
        return ::testing::AssertionFailure()
               << comparison.strayPixels << " pixels differ, largest channel difference "
               << comparison.largestChannelDifference << "; "
               << keepForInspection(comparison.picture);
    return ::testing::AssertionSuccess();
}
