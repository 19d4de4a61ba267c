#include "formats/locale_names.h"

#include "formats/kde_config.h"
#include "formats/text.h"

#include <cstddef>

namespace {

struct Region {
    std::string_view language;
    std::string_view region;
    LANGID id;
};

constexpr LANGID kEnglishUnitedStates = 0x0409;

// Longer than any real locale name ("sr_RS.UTF-8@latin" has 17 characters).
constexpr std::size_t kMaxLocaleNameSize = 64;

// The first row of a language is its main region, taken for a bare language name and for
// regions not listed.
constexpr Region kRegions[] = {
    {"de", "DE", 0x0407},
    {"de", "CH", 0x0807},
    {"de", "AT", 0x0C07},
    {"de", "LU", 0x1007},
    {"de", "LI", 0x1407},

    {"en", "US", 0x0409},
    {"en", "GB", 0x0809},
    {"en", "AU", 0x0C09},
    {"en", "CA", 0x1009},
    {"en", "NZ", 0x1409},
    {"en", "IE", 0x1809},
    {"en", "ZA", 0x1C09},
    {"en", "JM", 0x2009},
    {"en", "BZ", 0x2809},
    {"en", "TT", 0x2C09},
    {"en", "ZW", 0x3009},
    {"en", "PH", 0x3409},
    {"en", "HK", 0x3C09},
    {"en", "IN", 0x4009},
    {"en", "MY", 0x4409},
    {"en", "SG", 0x4809},

    {"fr", "FR", 0x040C},
    {"fr", "BE", 0x080C},
    {"fr", "CA", 0x0C0C},
    {"fr", "CH", 0x100C},
    {"fr", "LU", 0x140C},
    {"fr", "MC", 0x180C},

    // Spain's identifier is the one with the modern sort order, as current systems report it.
    {"es", "ES", 0x0C0A},
    {"es", "MX", 0x080A},
    {"es", "GT", 0x100A},
    {"es", "CR", 0x140A},
    {"es", "PA", 0x180A},
    {"es", "DO", 0x1C0A},
    {"es", "VE", 0x200A},
    {"es", "CO", 0x240A},
    {"es", "PE", 0x280A},
    {"es", "AR", 0x2C0A},
    {"es", "EC", 0x300A},
    {"es", "CL", 0x340A},
    {"es", "UY", 0x380A},
    {"es", "PY", 0x3C0A},
    {"es", "BO", 0x400A},
    {"es", "SV", 0x440A},
    {"es", "HN", 0x480A},
    {"es", "NI", 0x4C0A},
    {"es", "PR", 0x500A},
    {"es", "US", 0x540A},

    {"it", "IT", 0x0410},
    {"it", "CH", 0x0810},

    {"nl", "NL", 0x0413},
    {"nl", "BE", 0x0813},

    {"pl", "PL", 0x0415},

    {"pt", "PT", 0x0816},
    {"pt", "BR", 0x0416},
};

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    return true;
}

std::string_view Trim(std::string_view text) {
    return Trimmed(text, IsWhiteSpaceInLine);
}

std::string_view Unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

bool IsAbsolutePath(const std::optional<std::string>& path) {
    return path && !path->empty() && path->front() == '/';
}

} // namespace

LANGID LangIdFromLocaleName(std::string_view name) {
    name = name.substr(0, name.find_first_of(".@"));
    const std::size_t separator = name.find_first_of("_-");
    const std::string_view language = name.substr(0, separator);
    const std::string_view region =
        separator == std::string_view::npos ? std::string_view() : name.substr(separator + 1);

    const Region* main = nullptr;
    for (const Region& row : kRegions) {
        if (!EqualIgnoringCase(row.language, language))
            continue;
        if (main == nullptr)
            main = &row;
        if (EqualIgnoringCase(row.region, region))
            return row.id;
    }
    return main != nullptr ? main->id : kEnglishUnitedStates;
}

bool IsLocaleName(std::string_view text) {
    const auto isLetter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (text.empty() || text.size() > kMaxLocaleNameSize || !isLetter(text.front()))
        return false;
    for (const char c : text)
        if (!isLetter(c) && !(c >= '0' && c <= '9') && c != '_' && c != '-' && c != '.' && c != '@')
            return false;
    return true;
}

std::string FirstLocaleName(std::string_view list) {
    while (!list.empty()) {
        const std::size_t colon = list.find(':');
        const std::string_view entry = Trim(list.substr(0, colon));
        if (IsLocaleName(entry))
            return std::string(entry);
        list = colon == std::string_view::npos ? std::string_view() : list.substr(colon + 1);
    }
    return {};
}

std::string MessagesLocaleName(const VariableLookup& variables) {
    for (std::string_view variable : kLanguageVariables) {
        const std::optional<std::string> value = variables(variable);
        if (!value)
            continue;
        if (variable != "LANGUAGE") {
            if (!value->empty())
                return *value;
            continue;
        }
        if (std::string first = FirstLocaleName(*value); !first.empty())
            return first;
    }
    return {};
}

std::optional<std::string> LocaleConfValue(std::string_view text, std::string_view key) {
    std::optional<std::string> found;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = Trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.empty() || line.front() == '#' || line.front() == ';')
            continue;
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos || Trim(line.substr(0, equals)) != key)
            continue;
        found = std::string(Unquote(Trim(line.substr(equals + 1))));
    }
    return found;
}

std::optional<std::string> UserConfigFilePath(const VariableLookup& environment,
                                              std::string_view fileName) {
    if (const std::optional<std::string> config = environment("XDG_CONFIG_HOME");
        IsAbsolutePath(config))
        return *config + "/" + std::string(fileName);
    if (const std::optional<std::string> home = environment("HOME"); IsAbsolutePath(home))
        return *home + "/.config/" + std::string(fileName);
    return std::nullopt;
}

std::string PlasmaLocaleName(std::string_view plasmaLocalerc) {
    if (const std::optional<std::string> list =
            KdeConfigValue(plasmaLocalerc, "Translations", "LANGUAGE")) {
        if (std::string first = FirstLocaleName(*list); !first.empty())
            return first;
    }
    const std::optional<std::string> formats = KdeConfigValue(plasmaLocalerc, "Formats", "LANG");
    return formats && IsLocaleName(*formats) ? *formats : std::string();
}

LANGID UserLangId(const DesktopLanguageSources& desktop, const VariableLookup& environment) {
    if (desktop.plasmaLocalerc) {
        if (const std::string name = PlasmaLocaleName(*desktop.plasmaLocalerc); !name.empty())
            return LangIdFromLocaleName(name);
    }
    if (desktop.accountsServiceLanguage && IsLocaleName(*desktop.accountsServiceLanguage))
        return LangIdFromLocaleName(*desktop.accountsServiceLanguage);
    if (desktop.localeConf) {
        const std::string name = MessagesLocaleName([&](std::string_view variable) {
            return LocaleConfValue(*desktop.localeConf, variable);
        });
        if (!name.empty())
            return LangIdFromLocaleName(name);
    }
    return LangIdFromLocaleName(MessagesLocaleName(environment));
}
