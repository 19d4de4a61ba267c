#pragma once

// The text files KDE's settings keep (plasma-localerc and the like): "[Group]" lines, each
// followed by "Key=value" lines.

#include <optional>
#include <string>
#include <string_view>

// The value of key in group, trimmed of blanks; the last assignment counts, as when KDE reads the
// file. Lines starting with "#" are comments. A group header or key may carry options in "[$...]"
// after it ("[Translations][$i]", "LANGUAGE[$e]"): they change how KDE treats the entry, not
// which one it is. A key with a translation mark ("Name[de]") and a nested group ("[A][B]") are
// other entries. Nothing when the group does not assign key.
std::optional<std::string> KdeConfigValue(std::string_view text, std::string_view group,
                                          std::string_view key);
