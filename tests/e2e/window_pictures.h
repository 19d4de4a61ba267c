#pragma once

// The window's pictures against those kept beside the tests (references/). Set
// KLAVIO_UPDATE_REFERENCES=1 to write the pictures of a run there instead of comparing, and
// look at every one before committing it.

#include <QImage>
#include <QString>
#include <QStringList>
#include <gtest/gtest.h>

#include <functional>

class QTemporaryDir;

// The environment entries of a program whose window is to be compared: the language and only the
// fonts the window asks for in the configuration folder, at that scale, with no desktop's theme,
// style or scaling and no MIDI system. Nothing when the files cannot be written.
QStringList PictureEnvironment(const QTemporaryDir& config, const char* locale, int scale);

// The window once drawing has finished: the keyboard is there (unless keyboard is false), and
// two grabs a moment apart agree. A null picture when that never happens.
QImage SettledPicture(const std::function<QImage()>& grab, int scale, bool keyboard = true);

// Whether the picture matches the reference of that name, drawn at that scale; a failure names
// the pictures it left for inspection. Writes the reference instead when asked to.
::testing::AssertionResult MatchesKeptPicture(const QImage& actual, const QString& name, int scale);
