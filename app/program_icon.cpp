#include "app/program_icon.h"

#include <QSize>
#include <QString>

namespace {

QString PictureFile(int size) {
    return QStringLiteral(":/klavio/icons/klavio-%1.png").arg(size);
}

} // namespace

QIcon ProgramIcon() {
    QIcon icon;
    for (const int size : {16, 32, 48, 256})
        // QIcon::addFile takes a missing file without complaint; the icon then stays null.
        icon.addFile(PictureFile(size), QSize(size, size));
    return icon;
}

QPixmap ProgramPicture(int size) {
    return QPixmap(PictureFile(size));
}
