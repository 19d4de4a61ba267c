#pragma once

// From the language settings of a Linux desktop to the language identifier the window chooses
// its captions by. Plain functions over text: the desktop's files, its account service and the
// environment are read by the caller.

#include "formats/lang_id.h"

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// The identifier of a locale name: a language, optionally "_" and a region, then an encoding
// after "." and a modifier after "@", both of which are ignored (de_AT.UTF-8@euro gives 0x0C07).
// A known language with a region not listed gets the language's main region. "C", "POSIX", the
// empty name and every language not known here give English (United States), 0x0409.
LANGID LangIdFromLocaleName(std::string_view name);

// The variables that choose the language of messages, strongest first.
inline constexpr std::array<std::string_view, 4> kLanguageVariables = {"LANGUAGE", "LC_ALL",
                                                                       "LC_MESSAGES", "LANG"};

// A variable's value, or nothing when it is not set.
using VariableLookup = std::function<std::optional<std::string>(std::string_view name)>;

// Whether text can be a locale name at all: 1 to 64 letters, digits and "_-.@", starting with a
// letter. Anything else (a path, words, a runaway string) is passed over as no language.
bool IsLocaleName(std::string_view text);

// The first entry of a colon-separated list of locale names that IsLocaleName (blanks around an
// entry are ignored). Empty when none is.
std::string FirstLocaleName(std::string_view list);

// The locale name given by the first of kLanguageVariables that is set and not empty. LANGUAGE
// is a colon-separated list of which the first locale name counts. Empty when none is set.
std::string MessagesLocaleName(const VariableLookup& variables);

// The value a locale.conf text assigns to key. The text has KEY=value lines as localectl writes
// them, with blank lines, # comments and values in single or double quotes; the last assignment
// of a key counts. Nothing when key is not assigned.
std::optional<std::string> LocaleConfValue(std::string_view text, std::string_view key);

// Where the user's desktop keeps its settings file named fileName ("locale.conf",
// "plasma-localerc"): in $XDG_CONFIG_HOME, or in ~/.config when that is unset, empty or not an
// absolute path (as the XDG base directories say). Nothing when neither is known.
std::optional<std::string> UserConfigFilePath(const VariableLookup& environment,
                                              std::string_view fileName);

// The interface language KDE Plasma's settings chose, from the text of plasma-localerc: the
// first locale name of the [Translations] group's LANGUAGE list, which is what Plasma translates
// its own windows by; when that names none, the [Formats] group's LANG, from which Plasma derives
// the list's default. Empty when neither names one.
std::string PlasmaLocaleName(std::string_view plasmaLocalerc);

// What the desktop says of the user's language, each source as its reader found it; nothing
// where a source is missing.
struct DesktopLanguageSources {
    // The text of KDE Plasma's plasma-localerc.
    std::optional<std::string> plasmaLocalerc = std::nullopt;
    // The Language of the user's account in AccountsService, where GNOME's settings keep it.
    std::optional<std::string> accountsServiceLanguage = std::nullopt;
    // The text of the locale.conf that localectl and several desktops write.
    std::optional<std::string> localeConf = std::nullopt;
};

// The user's language: from the first of Plasma's settings, AccountsService and locale.conf that
// names one, otherwise from the environment, each with the precedence of kLanguageVariables.
// A name from Plasma or AccountsService that is no locale name counts as none.
LANGID UserLangId(const DesktopLanguageSources& desktop, const VariableLookup& environment);
