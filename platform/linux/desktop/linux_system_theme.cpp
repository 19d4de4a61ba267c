#include "platform/linux/desktop/linux_system_theme.h"

std::optional<OsVersion> LinuxSystemTheme::GetVersionEx() {
    // The kernel's version is no Windows version: Linux 6.1 must not pass for Windows 6.
    return std::nullopt;
}

bool LinuxSystemTheme::ThemesEnabled() {
    return false;
}

std::unique_ptr<WindowProcHook> LinuxSystemTheme::HookWindowProc(QWidget& /*form*/,
                                                                 MessageHandled /*handled*/) {
    return nullptr;
}
