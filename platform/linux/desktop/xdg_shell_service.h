#pragma once

#include "platform/shell_service.h"

#include <QString>

// Hands documents and links to the desktop's opener (xdg-open). The link travels as the
// opener's one argument: no shell ever reads it, so nothing in it is taken for a command.
class XdgShellService final : public ShellService {
public:
    // `opener` is the program started for "open"; tests pass one of their own.
    explicit XdgShellService(QString opener = QStringLiteral("xdg-open"));

    bool ShellExecuteA(const std::string& operation, const std::string& file) override;

private:
    QString opener_;
};
