#include "keyboard/key_labels.h"

#include "keyboard/key_geometry.h"

#include <algorithm>

std::string KeyLabel(int note, KeyLabels labels) {
    if (note < 0 || note > 127 || labels == KeyLabels::None)
        return {};
    const int semitone = note % 12;
    const bool white = std::find(WhiteKeySemitones.begin(), WhiteKeySemitones.end(), semitone) !=
                       WhiteKeySemitones.end();
    if (labels == KeyLabels::EveryC ? semitone == 0 : white)
        return NoteToStr(note);
    return {};
}
