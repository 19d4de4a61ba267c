#pragma once

// The window's texts are kept as UTF-8; Qt shows them as QString.

#include <QString>

#include <string_view>

inline QString FromUtf8(std::string_view utf8) {
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}
