#include "platform/linux/desktop/xdg_shell_service.h"

#include "formats/code_page.h"

#include <QProcess>
#include <QStringList>

#include <utility>

XdgShellService::XdgShellService(QString opener) : opener_(std::move(opener)) {}

bool XdgShellService::ShellExecuteA(const std::string& operation, const std::string& file) {
    // The opener knows no other operation. A leading '-' would make the file an option of the
    // opener, and a zero byte would cut the argument short on its way to the new process.
    if (operation != "open" || file.empty() || file.front() == '-' ||
        file.find('\0') != std::string::npos)
        return false;
    return QProcess::startDetached(opener_, {QString::fromStdU16String(Windows1252ToUtf16(file))});
}
