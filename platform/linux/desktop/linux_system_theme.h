#pragma once

#include "platform/system_theme.h"

// Linux is no Windows: no version to report, no visual themes of that kind and no window
// procedures, so the keyboard-cue repaint stays inert. Qt draws its accelerator underlines
// itself.
class LinuxSystemTheme final : public SystemTheme {
public:
    std::optional<OsVersion> GetVersionEx() override;
    bool ThemesEnabled() override;
    std::unique_ptr<WindowProcHook> HookWindowProc(QWidget& form, MessageHandled handled) override;
};
