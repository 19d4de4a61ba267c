#pragma once

#include <QIcon>

// The program's icon "MAINICON": a piano keyboard drawn for 16, 32, 48 and 256 pixels, from
// the program's own resources. Null when the resources are missing.
QIcon ProgramIcon();
