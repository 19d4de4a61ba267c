#include "platform/linux/linux_user_language.h"

#include "formats/locale_names.h"

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A locale.conf is a few lines long; anything bigger is not one and is read only this far.
constexpr std::size_t kMaxLocaleConfSize = 64 * 1024;

std::optional<std::string> Environment(std::string_view name) {
    const char* value = std::getenv(std::string(name).c_str());
    if (value == nullptr)
        return std::nullopt;
    return std::string(value);
}

// The file's text, or nothing when it is missing or not a regular file. Opening without
// blocking keeps a pipe or device placed at that path from stopping the window.
std::optional<std::string> ReadRegularFile(const std::string& path) {
    const int file = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (file < 0)
        return std::nullopt;
    std::optional<std::string> text;
    struct stat status {};
    if (fstat(file, &status) == 0 && S_ISREG(status.st_mode)) {
        text.emplace();
        char buffer[4096];
        while (text->size() < kMaxLocaleConfSize) {
            const ssize_t got = read(file, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            text->append(buffer, static_cast<std::size_t>(got));
        }
        if (text->size() > kMaxLocaleConfSize)
            text->resize(kMaxLocaleConfSize);
    }
    close(file);
    return text;
}

} // namespace

LANGID LinuxUserLanguage::GetUserDefaultLangID() {
    std::optional<std::string> localeConf;
    if (const std::optional<std::string> path = LocaleConfPath(Environment))
        localeConf = ReadRegularFile(*path);
    return UserLangId(localeConf, Environment);
}
