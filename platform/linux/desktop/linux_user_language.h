#pragma once

#include "platform/linux/desktop/watched_text_file.h"
#include "platform/user_language.h"

#include <memory>

class AccountsServiceLanguage;
class QDBusConnection;
class SystemBusJoiner;

// The language of the user's desktop, followed while the program runs: KDE Plasma's
// plasma-localerc, else the language of the user's account in AccountsService (where GNOME's
// settings keep it), else the locale.conf several desktops write, else the process environment.
// The files are looked at anew at every ask; AccountsService tells of its changes itself.
class LinuxUserLanguage final : public UserLanguage {
public:
    // Listens on the system bus once it has joined it, which happens off the GUI thread: a bus
    // that hangs keeps nothing waiting, and AccountsService's language follows once the bus
    // answers. Made on the GUI thread after the application object; every call to the bus is
    // asynchronous.
    LinuxUserLanguage();
    explicit LinuxUserLanguage(const QDBusConnection& systemBus);
    ~LinuxUserLanguage() override;

    LANGID GetUserDefaultLangID() override;

private:
    WatchedTextFile plasmaLocalerc_;
    WatchedTextFile localeConf_;
    std::unique_ptr<SystemBusJoiner> joiner_;
    std::unique_ptr<AccountsServiceLanguage> accountsService_;
};
