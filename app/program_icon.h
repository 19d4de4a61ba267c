#pragma once

#include <QIcon>
#include <QPixmap>

// The program's icon "MAINICON": a piano keyboard drawn for 16, 32, 48 and 256 pixels, from
// the program's own resources. Null when the resources are missing.
QIcon ProgramIcon();
// One of its pictures alone, at 16, 32, 48 or 256 pixels: reading every size takes milliseconds.
// Both read the pictures as PNG, without the image plugins.
QPixmap ProgramPicture(int size);
