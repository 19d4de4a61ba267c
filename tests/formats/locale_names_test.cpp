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

// Plasma's settings, then AccountsService, then the desktop's locale.conf, when each names a
// language, come before the environment; within locale.conf and the environment, LANGUAGE before
// LC_ALL before LC_MESSAGES before LANG.
TEST(LocaleNames, UserLanguageFromDesktopAndEnvironment) {
    struct Case {
        DesktopLanguageSources desktop;
        Variables environment;
        LANGID id;
    };
    const auto plasma = [](std::string text) {
        return DesktopLanguageSources{.plasmaLocalerc = text};
    };
    const auto accounts = [](std::string name) {
        return DesktopLanguageSources{.accountsServiceLanguage = name};
    };
    const auto localeConf = [](std::string text) {
        return DesktopLanguageSources{.localeConf = text};
    };
    const std::vector<Case> cases = {
        {{}, {}, 0x0409},
        {{}, {{"LANG", "de_AT.UTF-8"}}, 0x0C07},
        {{}, {{"LANG", "de_DE"}, {"LC_MESSAGES", "en_GB"}}, 0x0809},
        {{}, {{"LC_MESSAGES", "en_GB"}, {"LC_ALL", "fr_FR"}}, 0x040C},
        {{}, {{"LC_ALL", "fr_FR"}, {"LANGUAGE", ":de_CH:en"}}, 0x0807},
        {{}, {{"LANGUAGE", ""}, {"LC_ALL", ""}, {"LANG", "nl_BE"}}, 0x0813},
        {{}, {{"LANGUAGE", " : /tmp/x : de_LU"}}, 0x1007},
        {{}, {{"LC_TIME", "de_DE"}}, 0x0409},
        {localeConf("LANG=de_AT.UTF-8\n"), {{"LANG", "en_GB"}}, 0x0C07},
        {localeConf("  LANG = \"de_CH\"\r\n"), {{"LANG", "en_GB"}}, 0x0807},
        {localeConf("LANG='it_IT'\nLC_MESSAGES=pl_PL\n"), {{"LANG", "en_GB"}}, 0x0415},
        {localeConf("# LANG=de_DE\n; LANG=de_DE\nLANG=fr_FR\nLANG=es_ES"), {}, 0x0C0A},
        {localeConf("LANG=C.UTF-8\n"), {{"LANG", "de_DE"}}, 0x0409},
        // A source that names no language leaves the choice to the next.
        {localeConf(""), {{"LANG", "en_GB"}}, 0x0809},
        {localeConf("LANG=\nLC_TIME=de_DE\nLANG\n"), {{"LANG", "en_GB"}}, 0x0809},
        {localeConf("LANGUAGE=:::\n"), {{"LANG", "pt_BR"}}, 0x0416},
        {accounts("de_DE.UTF-8"), {{"LANG", "en_GB"}}, 0x0407},
        {accounts(""), {{"LANG", "en_GB"}}, 0x0809},
        {accounts("de DE"), {{"LANG", "en_GB"}}, 0x0809},
        {accounts(std::string(65, 'd')), {{"LANG", "en_GB"}}, 0x0809},
        {{.accountsServiceLanguage = "de_CH", .localeConf = "LANG=fr_FR"}, {}, 0x0807},
        {{.accountsServiceLanguage = "", .localeConf = "LANG=fr_FR"}, {}, 0x040C},
        {{.plasmaLocalerc = "[Translations]\nLANGUAGE=de_AT:en_US\n",
          .accountsServiceLanguage = "fr_FR",
          .localeConf = "LANG=nl_NL"},
         {},
         0x0C07},
        {{.plasmaLocalerc = "", .accountsServiceLanguage = "fr_FR"}, {}, 0x040C},
        // Plasma's own files: the language list decides, the formats locale stands in for it.
        {plasma("[Formats]\nLANG=de_DE.UTF-8\n\n[Translations]\nLANGUAGE=en_GB:de\n"), {}, 0x0809},
        {plasma("[Translations]\nLANGUAGE=\n[Formats]\nLANG=de_CH.UTF-8\n"), {}, 0x0807},
        {plasma("[Translations]\nLANGUAGE= :$LANG: pl \n"), {}, 0x0415},
        {plasma("[Translations][$i]\nLANGUAGE[$e]=it\nLANGUAGE[de]=de\n"), {}, 0x0410},
        {plasma("[Translations]\nLANGUAGE=fr\nLANGUAGE=es_MX\n"), {}, 0x080A},
        {plasma("# [Translations]\nLANGUAGE=de\n[Other]\nLANGUAGE=de\n"),
         {{"LANG", "nl_BE"}},
         0x0813},
        {plasma("[Translations][Sub]\nLANGUAGE=de\n[Formats]\nLANG=\n"),
         {{"LANG", "nl_BE"}},
         0x0813},
        {plasma("[Translations\nLANGUAGE=de\n[Formats]\nLANG=x/y\n"), {{"LANG", "nl_BE"}}, 0x0813},
    };
    for (const Case& c : cases)
        EXPECT_EQ(UserLangId(c.desktop, From(c.environment)), c.id)
            << c.desktop.plasmaLocalerc.value_or("no plasma-localerc") << " | "
            << c.desktop.accountsServiceLanguage.value_or("no AccountsService") << " | "
            << c.desktop.localeConf.value_or("no locale.conf");
}

TEST(LocaleNames, SettingsFilesAreWhereTheDesktopKeepsThem) {
    const std::vector<std::pair<Variables, std::optional<std::string>>> cases = {
        {{{"XDG_CONFIG_HOME", "/cfg"}, {"HOME", "/home/u"}}, "/cfg/locale.conf"},
        {{{"HOME", "/home/u"}}, "/home/u/.config/locale.conf"},
        {{{"XDG_CONFIG_HOME", ""}, {"HOME", "/home/u"}}, "/home/u/.config/locale.conf"},
        {{{"XDG_CONFIG_HOME", "cfg"}, {"HOME", "/home/u"}}, "/home/u/.config/locale.conf"},
        {{{"HOME", "home"}}, std::nullopt},
        {{}, std::nullopt},
    };
    for (const auto& [environment, path] : cases)
        EXPECT_EQ(UserConfigFilePath(From(environment), "locale.conf"), path);
}

} // namespace
