#pragma once

// What the keyboard-cue repaint needs of the system: the Windows version, whether visual themes
// draw the controls, and a hook on a form's window procedure that reports the messages it
// handled. Only Windows 6.0 and later with themes on forget to redraw the underlined
// accelerator letters when the Alt key shows or hides them.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class QWidget;

// The window message that tells a window to show or hide its keyboard cues.
inline constexpr std::uint32_t WM_UPDATEUISTATE = 0x128;

struct OsVersion {
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
};

// Keeps a form's window procedure replaced; destroying it puts the saved procedure back.
class WindowProcHook {
public:
    virtual ~WindowProcHook() = default;
};

class SystemTheme {
public:
    using MessageHandled = std::function<void(std::uint32_t message)>;

    virtual ~SystemTheme() = default;
    // The Windows version as GetVersionExA reports it; nothing on a system that is not Windows
    // or when the call fails.
    virtual std::optional<OsVersion> GetVersionEx() = 0;
    // Whether visual themes draw the controls.
    virtual bool ThemesEnabled() = 0;
    // Replaces form's window procedure with one that passes every message to the saved
    // procedure and then tells handled which message it was. Nothing where forms have no
    // window procedure to replace.
    virtual std::unique_ptr<WindowProcHook> HookWindowProc(QWidget& form,
                                                           MessageHandled handled) = 0;
};
