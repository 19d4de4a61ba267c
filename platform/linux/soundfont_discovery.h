#pragma once

// Which SoundFont the built-in synthesizer plays, and whether that file can be one. Checked on
// the GUI thread before the slow load starts, so a wrong file is refused at once with a reason.

#include <functional>
#include <optional>
#include <string>
#include <vector>

// The named file first, when one is named, then the General MIDI SoundFonts Debian packages
// install: default-GM is the link the installed GM packages agree on.
std::vector<std::string> SoundFontCandidates(const std::string& named);

// The first candidate that exists.
std::optional<std::string> FindSoundFont(const std::string& named,
                                         const std::function<bool(const std::string&)>& exists);

bool FileExists(const std::string& path);

// Empty when path is a readable regular file that starts as a SoundFont does (a RIFF file of
// form sfbk); otherwise why not, in one line.
std::string SoundFontProblem(const std::string& path);
