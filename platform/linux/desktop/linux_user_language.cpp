#include "platform/linux/desktop/linux_user_language.h"

#include "formats/locale_names.h"
#include "platform/linux/desktop/accounts_service_language.h"
#include "platform/linux/desktop/system_bus_joiner.h"

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

LinuxUserLanguage::LinuxUserLanguage()
    : plasmaLocalerc_(kMaxSettingsFileSize), localeConf_(kMaxSettingsFileSize),
      joiner_(std::make_unique<SystemBusJoiner>(SystemBusJoiner::SystemBusAddress())) {}

LinuxUserLanguage::LinuxUserLanguage(const QDBusConnection& systemBus)
    : plasmaLocalerc_(kMaxSettingsFileSize), localeConf_(kMaxSettingsFileSize),
      accountsService_(std::make_unique<AccountsServiceLanguage>(systemBus, getuid())) {}

LinuxUserLanguage::~LinuxUserLanguage() = default;

LANGID LinuxUserLanguage::GetUserDefaultLangID() {
    // The window asks once a second: the bus is taken at the first ask after it has answered.
    if (!accountsService_ && joiner_)
        if (const std::optional<QDBusConnection> bus = joiner_->Take())
            accountsService_ = std::make_unique<AccountsServiceLanguage>(*bus, getuid());
    return UserLangId(
        {ReadUserConfigFile(plasmaLocalerc_, "plasma-localerc"),
         accountsService_ ? accountsService_->Language() : std::optional<std::string>(),
         ReadUserConfigFile(localeConf_, "locale.conf")},
        Environment);
}
