#include "platform/linux/linux_user_language.h"

#include "formats/locale_names.h"
#include "platform/linux/accounts_service_language.h"

#include <QDBusConnection>

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include <unistd.h>

namespace {

// Either file is a few lines long; anything bigger is not one and is read only this far.
constexpr std::size_t kMaxSettingsFileSize = 64 * 1024;

std::optional<std::string> Environment(std::string_view name) {
    const char* value = std::getenv(std::string(name).c_str());
    if (value == nullptr)
        return std::nullopt;
    return std::string(value);
}

std::optional<std::string> ReadUserConfigFile(WatchedTextFile& file, std::string_view name) {
    if (const std::optional<std::string> path = UserConfigFilePath(Environment, name))
        return file.Read(*path);
    return std::nullopt;
}

} // namespace

LinuxUserLanguage::LinuxUserLanguage() : LinuxUserLanguage(QDBusConnection::systemBus()) {}

LinuxUserLanguage::LinuxUserLanguage(const QDBusConnection& systemBus)
    : plasmaLocalerc_(kMaxSettingsFileSize), localeConf_(kMaxSettingsFileSize),
      accountsService_(std::make_unique<AccountsServiceLanguage>(systemBus, getuid())) {}

LinuxUserLanguage::~LinuxUserLanguage() = default;

LANGID LinuxUserLanguage::GetUserDefaultLangID() {
    return UserLangId({ReadUserConfigFile(plasmaLocalerc_, "plasma-localerc"),
                       accountsService_->Language(),
                       ReadUserConfigFile(localeConf_, "locale.conf")},
                      Environment);
}
