#include "platform/linux/desktop/qt_program_location.h"

#include <QCoreApplication>
#include <QFile>

std::string QtProgramLocation::ExecutablePath() {
    // Linux paths are bytes: encodeName gives back the ones the file system holds.
    return QFile::encodeName(QCoreApplication::applicationFilePath()).toStdString();
}
