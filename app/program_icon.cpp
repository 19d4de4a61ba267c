#include "app/program_icon.h"

#include <QSize>
#include <QString>

QIcon ProgramIcon() {
    QIcon icon;
    for (const int size : {16, 32, 48, 256}) {
        const QString file = QStringLiteral(":/klavio/icons/klavio-%1.png").arg(size);
        // QIcon::addFile takes a missing file without complaint; the icon then stays null.
        icon.addFile(file, QSize(size, size));
    }
    return icon;
}
