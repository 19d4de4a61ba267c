#pragma once

// A system for the keyboard-cue repaint under test: a chosen version and theme state, window
// procedure hooks recorded in order, and window messages sent to hooked forms by hand.

#include "platform/system_theme.h"

#include <QPointer>
#include <QString>
#include <QWidget>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class FakeSystemTheme final : public SystemTheme {
public:
    std::optional<OsVersion> version;
    bool themesEnabled = false;

    // Every call and unhook in order: "GetVersionEx", "ThemesEnabled", "hook Form1",
    // "unhook Form1". Forms are named by their object names.
    std::vector<std::string> calls;

    // A themed Windows Vista, where the keyboard cues need the repaint.
    static FakeSystemTheme ThemedVista() {
        FakeSystemTheme system;
        system.version = OsVersion{6, 0};
        system.themesEnabled = true;
        return system;
    }

    std::optional<OsVersion> GetVersionEx() override {
        calls.push_back("GetVersionEx");
        return version;
    }
    bool ThemesEnabled() override {
        calls.push_back("ThemesEnabled");
        return themesEnabled;
    }
    std::unique_ptr<WindowProcHook> HookWindowProc(QWidget& form, MessageHandled handled) override {
        calls.push_back("hook " + form.objectName().toStdString());
        return std::make_unique<Hook>(*this, form, std::move(handled));
    }

    // Sends a message to form through every hook on it; false when the form is not hooked.
    bool Send(QWidget& form, std::uint32_t message) {
        bool hooked = false;
        // A hook may be dropped by what the message causes: walk a copy.
        const std::vector<Hook*> hooks = hooks_;
        for (Hook* hook : hooks)
            if (hook->form == &form &&
                std::find(hooks_.begin(), hooks_.end(), hook) != hooks_.end()) {
                hooked = true;
                hook->handled(message);
            }
        return hooked;
    }
    std::size_t Hooks() const { return hooks_.size(); }

private:
    struct Hook final : WindowProcHook {
        Hook(FakeSystemTheme& system, QWidget& target, MessageHandled onHandled)
            : owner(system), form(&target), name(target.objectName().toStdString()),
              handled(std::move(onHandled)) {
            owner.hooks_.push_back(this);
        }
        ~Hook() override {
            owner.hooks_.erase(std::find(owner.hooks_.begin(), owner.hooks_.end(), this));
            owner.calls.push_back("unhook " + name);
        }
        FakeSystemTheme& owner;
        QPointer<QWidget> form;
        std::string name;
        MessageHandled handled;
    };

    std::vector<Hook*> hooks_;
};
