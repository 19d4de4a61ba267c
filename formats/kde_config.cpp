#include "formats/kde_config.h"

#include "formats/text.h"

namespace {

// Whether text is nothing but "[$...]" options.
bool IsOptions(std::string_view text) {
    while (!text.empty()) {
        const std::size_t close = text.find(']');
        if (!text.starts_with("[$") || close == std::string_view::npos)
            return false;
        text.remove_prefix(close + 1);
    }
    return true;
}

// The key without the "[$...]" options that follow it.
std::string_view KeyWithoutOptions(std::string_view key) {
    const std::size_t options = key.find("[$");
    if (options != std::string_view::npos && IsOptions(key.substr(options)))
        key = key.substr(0, options);
    return Trimmed(key, IsWhiteSpaceInLine);
}

// The group a "[...]" header line opens, or nothing for a nested group's header.
std::optional<std::string_view> GroupOfHeader(std::string_view line) {
    const std::size_t close = line.find(']');
    if (close == std::string_view::npos || !IsOptions(line.substr(close + 1)))
        return std::nullopt;
    return line.substr(1, close - 1);
}

} // namespace

std::optional<std::string> KdeConfigValue(std::string_view text, std::string_view group,
                                          std::string_view key) {
    std::optional<std::string> found;
    bool inGroup = false;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = Trimmed(text.substr(0, end), IsWhiteSpaceInLine);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.empty() || line.front() == '#')
            continue;
        if (line.front() == '[') {
            inGroup = GroupOfHeader(line) == group;
            continue;
        }
        const std::size_t equals = line.find('=');
        if (!inGroup || equals == std::string_view::npos)
            continue;
        if (KeyWithoutOptions(line.substr(0, equals)) == key)
            found = std::string(Trimmed(line.substr(equals + 1), IsWhiteSpaceInLine));
    }
    return found;
}
