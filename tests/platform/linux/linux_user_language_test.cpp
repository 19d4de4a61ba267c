#include "platform/linux/linux_user_language.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

// Sets the process's locale variables for one test and puts them back after it.
class EnvironmentGuard {
public:
    EnvironmentGuard() {
        for (const char* name : {"XDG_CONFIG_HOME", "LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
            if (const char* value = std::getenv(name))
                saved_[name] = value;
            else
                saved_[name] = std::nullopt;
            unsetenv(name);
        }
    }
    ~EnvironmentGuard() {
        for (const auto& [name, value] : saved_)
            value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
    }

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

TEST(LinuxUserLanguageBackend, ReadsTheDesktopFileAtEveryAsk) {
    QTemporaryDir config;
    ASSERT_TRUE(config.isValid());
    const std::string path = config.filePath("locale.conf").toStdString();
    const EnvironmentGuard guard;
    setenv("LANG", "en_GB.UTF-8", 1);
    setenv("XDG_CONFIG_HOME", config.path().toLocal8Bit().constData(), 1);
    LinuxUserLanguage language;

    EXPECT_EQ(language.GetUserDefaultLangID(), 0x0809);
    for (const auto& [text, id] : std::vector<std::pair<const char*, LANGID>>{
             {"LANG=de_DE.UTF-8\n", 0x0407}, {"LANG=de_AT.UTF-8\n", 0x0C07}}) {
        QFile file(QString::fromStdString(path));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
        file.close();
        EXPECT_EQ(language.GetUserDefaultLangID(), id);
    }
    // A pipe in the file's place must not stop the window's language poll.
    ASSERT_TRUE(QFile::remove(QString::fromStdString(path)));
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    EXPECT_EQ(language.GetUserDefaultLangID(), 0x0809);
}

} // namespace
