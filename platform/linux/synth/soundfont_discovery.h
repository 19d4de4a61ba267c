#pragma once

// Which SoundFont the built-in synthesizer plays, and whether that file can be one. Checked on
// the GUI thread before the slow load starts, so a wrong file is refused at once with a reason.

#include <cstdint>
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

// Which file a path led to when it was opened: a file replaced or rewritten since is another.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modifiedNanoseconds = 0;
    bool operator==(const FileIdentity&) const = default;
};

// A SoundFont opened once and checked through that descriptor. FluidSynth is handed this
// descriptor and nothing else, so what plays is what was checked, whatever the path names by
// then (a link flipped to a pipe, a file replaced).
class SoundFontFile {
public:
    // Nothing, and why not in one line in problem, unless path is a readable regular file that
    // starts as a SoundFont does (a RIFF file of form sfbk) and holds as many bytes as its
    // header says.
    static std::optional<SoundFontFile> Open(const std::string& path, std::string& problem);
    SoundFontFile(SoundFontFile&& other) noexcept;
    SoundFontFile& operator=(SoundFontFile&& other) noexcept;
    ~SoundFontFile();

    const std::string& Path() const { return path_; }
    int Descriptor() const { return descriptor_; }
    std::int64_t Size() const { return identity_.size; }
    const FileIdentity& Identity() const { return identity_; }

private:
    SoundFontFile(std::string path, int descriptor, FileIdentity identity);

    std::string path_;
    int descriptor_ = -1;
    FileIdentity identity_;
};

// Empty when SoundFontFile::Open takes path; otherwise why not, in one line.
std::string SoundFontProblem(const std::string& path);
