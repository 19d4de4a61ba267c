#pragma once

// From the POSIX locale settings of a Linux desktop to the language identifier the window
// chooses its captions by. Plain functions over text: the locale.conf file and the environment
// are read by the caller.

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

// The locale name given by the first of kLanguageVariables that is set and not empty. LANGUAGE
// is a colon-separated list of which the first entry counts. Empty when none is set.
std::string MessagesLocaleName(const VariableLookup& variables);

// The value a locale.conf text assigns to key. The text has KEY=value lines as localectl writes
// them, with blank lines, # comments and values in single or double quotes; the last assignment
// of a key counts. Nothing when key is not assigned.
std::optional<std::string> LocaleConfValue(std::string_view text, std::string_view key);

// Where the user's desktop keeps locale.conf: in $XDG_CONFIG_HOME, or in ~/.config when that is
// unset, empty or not an absolute path (as the XDG base directories say). Nothing when neither
// is known.
std::optional<std::string> LocaleConfPath(const VariableLookup& environment);

// The user's language: from the desktop's locale.conf text when there is one and it sets a
// language, otherwise from the environment, each with the precedence of kLanguageVariables.
LANGID UserLangId(const std::optional<std::string>& localeConf, const VariableLookup& environment);
