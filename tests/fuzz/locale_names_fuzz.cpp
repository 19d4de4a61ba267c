// The desktop's settings files, its account service and the locale variables hold whatever the
// user's files and environment hold: any bytes give one of the known identifiers, never a fault.

#include "formats/kde_config.h"
#include "formats/locale_names.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

bool Known(LANGID id) {
    switch (PrimaryLangId(id)) {
    case 0x07: // German
    case 0x09: // English
    case 0x0A: // Spanish
    case 0x0C: // French
    case 0x10: // Italian
    case 0x13: // Dutch
    case 0x15: // Polish
    case 0x16: // Portuguese
        return true;
    default:
        return false;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    // The same bytes as a name, as a file and as every variable of the environment.
    const VariableLookup environment = [&](std::string_view) { return std::optional(text); };
    if (!Known(LangIdFromLocaleName(text)) || !Known(UserLangId({text, text, text}, environment)) ||
        !Known(UserLangId({std::nullopt, text, text}, environment)) ||
        !Known(UserLangId({}, environment)))
        std::abort();
    // A value never reaches past its line.
    for (const std::optional<std::string>& value :
         {LocaleConfValue(text, "LANG"), KdeConfigValue(text, "Translations", "LANGUAGE")})
        if (value && value->find('\n') != std::string::npos)
            std::abort();
    (void)UserConfigFilePath(environment, "locale.conf");
    return 0;
}
