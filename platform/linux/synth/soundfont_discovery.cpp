#include "platform/linux/synth/soundfont_discovery.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

std::vector<std::string> SoundFontCandidates(const std::string& named) {
    std::vector<std::string> candidates;
    if (!named.empty())
        candidates.push_back(named);
    for (const char* installed : {
             "/usr/share/sounds/sf2/default-GM.sf2",
             "/usr/share/sounds/sf2/FluidR3_GM.sf2",
             "/usr/share/sounds/sf3/default-GM.sf3",
             "/usr/share/sounds/sf3/FluidR3_GM.sf3",
             "/usr/share/sounds/sf3/MuseScore_General.sf3",
             "/usr/share/sounds/sf2/TimGM6mb.sf2",
         })
        candidates.emplace_back(installed);
    return candidates;
}

std::optional<std::string> FindSoundFont(const std::string& named,
                                         const std::function<bool(const std::string&)>& exists) {
    for (const std::string& candidate : SoundFontCandidates(named))
        if (exists(candidate))
            return candidate;
    return std::nullopt;
}

bool FileExists(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

SoundFontFile::SoundFontFile(std::string path, int descriptor, FileIdentity identity)
    : path_(std::move(path)), descriptor_(descriptor), identity_(identity) {}

SoundFontFile::SoundFontFile(SoundFontFile&& other) noexcept
    : path_(std::move(other.path_)), descriptor_(std::exchange(other.descriptor_, -1)),
      identity_(other.identity_) {}

SoundFontFile& SoundFontFile::operator=(SoundFontFile&& other) noexcept {
    std::swap(path_, other.path_);
    std::swap(descriptor_, other.descriptor_);
    std::swap(identity_, other.identity_);
    return *this;
}

SoundFontFile::~SoundFontFile() {
    if (descriptor_ >= 0)
        ::close(descriptor_);
}

std::optional<SoundFontFile> SoundFontFile::Open(const std::string& path, std::string& problem) {
    const std::string where = "the SoundFont " + path;
    // O_NONBLOCK: a FIFO put in its place must not hang the window.
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (descriptor < 0) {
        problem = where + " cannot be read: " + std::strerror(errno);
        return std::nullopt;
    }
    SoundFontFile file(path, descriptor, {});
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        problem = where + " is not a regular file";
        return std::nullopt;
    }
    file.identity_ = {
        static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
        static_cast<std::int64_t>(status.st_size),
        static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec};
    std::array<std::uint8_t, 12> header{};
    const ssize_t got = ::pread(descriptor, header.data(), header.size(), 0);
    if (got < 0) {
        problem = where + " cannot be read: " + std::strerror(errno);
        return std::nullopt;
    }
    if (static_cast<std::size_t>(got) < header.size() ||
        std::memcmp(header.data(), "RIFF", 4) != 0 ||
        std::memcmp(header.data() + 8, "sfbk", 4) != 0) {
        problem = where + " is not a SoundFont (no RIFF sfbk header)";
        return std::nullopt;
    }
    // The header says how much follows it; a file cut short (an interrupted copy or download)
    // keeps its header but not its instruments.
    const std::int64_t promised =
        8 + (std::int64_t{header[4]} | std::int64_t{header[5]} << 8 |
             std::int64_t{header[6]} << 16 | std::int64_t{header[7]} << 24);
    if (file.Size() < promised) {
        problem = where + " is cut short (" + std::to_string(file.Size()) + " of " +
                  std::to_string(promised) + " bytes)";
        return std::nullopt;
    }
    return file;
}

std::string SoundFontProblem(const std::string& path) {
    std::string problem;
    SoundFontFile::Open(path, problem);
    return problem;
}
