#include "platform/linux/soundfont_discovery.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

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

std::string SoundFontProblem(const std::string& path) {
    const std::string where = "the SoundFont " + path;
    // O_NONBLOCK: a FIFO put in its place must not hang the window.
    const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (file < 0)
        return where + " cannot be read: " + std::strerror(errno);
    struct stat status {};
    std::string problem;
    std::array<std::uint8_t, 12> header{};
    if (::fstat(file, &status) != 0 || !S_ISREG(status.st_mode)) {
        problem = where + " is not a regular file";
    } else {
        const ssize_t got = ::read(file, header.data(), header.size());
        if (got < 0)
            problem = where + " cannot be read: " + std::strerror(errno);
        else if (static_cast<std::size_t>(got) < header.size() ||
                 std::memcmp(header.data(), "RIFF", 4) != 0 ||
                 std::memcmp(header.data() + 8, "sfbk", 4) != 0)
            problem = where + " is not a SoundFont (no RIFF sfbk header)";
    }
    ::close(file);
    return problem;
}
