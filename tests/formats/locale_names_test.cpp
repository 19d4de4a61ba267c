#include "formats/locale_names.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

using Variables = std::map<std::string, std::string, std::less<>>;

VariableLookup From(const Variables& variables) {
    return [&variables](std::string_view name) {
        const auto found = variables.find(name);
        return found == variables.end() ? std::nullopt : std::optional(found->second);
    };
}

TEST(LocaleNames, MapToLanguageIdentifiers) {
    const std::vector<std::pair<const char*, LANGID>> cases = {
        {"de", 0x0407},          {"de_DE", 0x0407},
        {"de_CH", 0x0807},       {"de_AT", 0x0C07},
        {"de_LU", 0x1007},       {"de_LI", 0x1407},
        {"de_BE", 0x0407},       {"de_DE.UTF-8@euro", 0x0407},
        {"DE_at.utf8", 0x0C07},  {"de_CH@euro", 0x0807},
        {"en_US.UTF-8", 0x0409}, {"en_GB", 0x0809},
        {"en_IE", 0x1809},       {"fr_FR", 0x040C},
        {"fr_CA", 0x0C0C},       {"es_ES", 0x0C0A},
        {"es_MX", 0x080A},       {"it_CH", 0x0810},
        {"nl_BE", 0x0813},       {"pl_PL", 0x0415},
        {"pt_BR", 0x0416},       {"pt", 0x0816},
        {"C", 0x0409},           {"C.UTF-8", 0x0409},
        {"POSIX", 0x0409},       {"", 0x0409},
        {"ja_JP", 0x0409},       {"deu_DEU", 0x0409},
        {"_DE", 0x0409},         {".@_-", 0x0409},
    };
    for (const auto& [name, id] : cases)
        EXPECT_EQ(LangIdFromLocaleName(name), id) << '"' << name << '"';
}

// The desktop's locale.conf, when it names a language, comes before the environment; within
// each, LANGUAGE before LC_ALL before LC_MESSAGES before LANG.
TEST(LocaleNames, UserLanguageFromFileAndEnvironment) {
    struct Case {
        std::optional<std::string> localeConf;
        Variables environment;
        LANGID id;
    };
    const std::vector<Case> cases = {
        {std::nullopt, {}, 0x0409},
        {std::nullopt, {{"LANG", "de_AT.UTF-8"}}, 0x0C07},
        {std::nullopt, {{"LANG", "de_DE"}, {"LC_MESSAGES", "en_GB"}}, 0x0809},
        {std::nullopt, {{"LC_MESSAGES", "en_GB"}, {"LC_ALL", "fr_FR"}}, 0x040C},
        {std::nullopt, {{"LC_ALL", "fr_FR"}, {"LANGUAGE", ":de_CH:en"}}, 0x0807},
        {std::nullopt, {{"LANGUAGE", ""}, {"LC_ALL", ""}, {"LANG", "nl_BE"}}, 0x0813},
        {std::nullopt, {{"LC_TIME", "de_DE"}}, 0x0409},
        {"LANG=de_AT.UTF-8\n", {{"LANG", "en_GB"}}, 0x0C07},
        {"  LANG = \"de_CH\"\r\n", {{"LANG", "en_GB"}}, 0x0807},
        {"LANG='it_IT'\nLC_MESSAGES=pl_PL\n", {{"LANG", "en_GB"}}, 0x0415},
        {"# LANG=de_DE\n; LANG=de_DE\nLANG=fr_FR\nLANG=es_ES", {}, 0x0C0A},
        {"LANG=C.UTF-8\n", {{"LANG", "de_DE"}}, 0x0409},
        // A file that names no language leaves the choice to the environment.
        {"", {{"LANG", "en_GB"}}, 0x0809},
        {"LANG=\nLC_TIME=de_DE\nLANG\n", {{"LANG", "en_GB"}}, 0x0809},
        {"LANGUAGE=:::\n", {{"LANG", "pt_BR"}}, 0x0416},
    };
    for (const Case& c : cases)
        EXPECT_EQ(UserLangId(c.localeConf, From(c.environment)), c.id)
            << c.localeConf.value_or("no file");
}

TEST(LocaleNames, LocaleConfIsWhereTheDesktopKeepsIt) {
    const std::vector<std::pair<Variables, std::optional<std::string>>> cases = {
        {{{"XDG_CONFIG_HOME", "/cfg"}, {"HOME", "/home/u"}}, "/cfg/locale.conf"},
        {{{"HOME", "/home/u"}}, "/home/u/.config/locale.conf"},
        {{{"XDG_CONFIG_HOME", ""}, {"HOME", "/home/u"}}, "/home/u/.config/locale.conf"},
        {{{"XDG_CONFIG_HOME", "cfg"}, {"HOME", "/home/u"}}, "/home/u/.config/locale.conf"},
        {{{"HOME", "home"}}, std::nullopt},
        {{}, std::nullopt},
    };
    for (const auto& [environment, path] : cases)
        EXPECT_EQ(LocaleConfPath(From(environment)), path);
}

} // namespace
