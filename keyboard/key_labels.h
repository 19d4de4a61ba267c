#pragma once

// Which keys carry their note's name ("C4" for note 60), written near their lower end.

#include <string>

enum class KeyLabels { None, EveryC, EveryWhiteKey };
inline constexpr int kKeyLabelsChoices = 3;

// The name written on the key of note, empty where the key carries none.
std::string KeyLabel(int note, KeyLabels labels);
