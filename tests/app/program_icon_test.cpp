#include "app/program_icon.h"

#include <QFile>
#include <QList>
#include <QSize>
#include <gtest/gtest.h>

namespace {

bool ImagePluginLoaded() {
    QFile maps(QStringLiteral("/proc/self/maps"));
    return maps.open(QIODevice::ReadOnly) && maps.readAll().contains("/imageformats/");
}

// Every size of the icon comes from our PNG files, and reading them loads no image plugin:
// a format guessed from the content would load them all before the window's first frame.
TEST(ProgramIcon, ReadsEverySizeAsPngWithoutImagePlugins) {
    const bool loadedBefore = ImagePluginLoaded();
    EXPECT_EQ(ProgramIcon().availableSizes(),
              (QList<QSize>{{16, 16}, {32, 32}, {48, 48}, {256, 256}}));
    EXPECT_EQ(ProgramPicture(48).size(), QSize(48, 48));
    // A test run alone is a process of its own (CTest runs each so); in a shared process
    // another test may have loaded them first.
    if (!loadedBefore) {
        EXPECT_FALSE(ImagePluginLoaded());
    }
}

} // namespace
