#include "platform/linux/files/elf_version_service.h"

#include "formats/elf_section.h"
#include "formats/version_block.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <limits>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A node's length is 16 bits: no block is longer.
constexpr std::uint64_t kMaxBlockSize = 0xFFFF;

class File {
public:
    // Opened without blocking, so that a path naming a pipe cannot stall the program; only
    // regular files are read.
    explicit File(const std::string& path)
        : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)) {
        struct stat status {};
        if (fd_ >= 0 && (::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode))) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~File() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool IsOpen() const { return fd_ >= 0; }

    bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> into) const {
        std::size_t done = 0;
        while (done < into.size()) {
            if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) - done)
                return false;
            const ssize_t got = ::pread(fd_, into.data() + done, into.size() - done,
                                        static_cast<off_t>(offset + done));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return false;
            done += static_cast<std::size_t>(got);
        }
        return true;
    }

private:
    int fd_;
};

// The file's version block, without any bytes of the section past the block's own length;
// empty when there is none.
std::vector<std::uint8_t> ReadVersionBlock(const std::string& fileName) {
    const File file(fileName);
    if (!file.IsOpen())
        return {};
    const auto read = [&file](std::uint64_t offset, std::span<std::uint8_t> into) {
        return file.ReadAt(offset, into);
    };
    const std::optional<ElfSection> section = FindElfSection(read, kVersionSectionName);
    if (!section)
        return {};
    std::vector<std::uint8_t> block(std::min(section->size, kMaxBlockSize));
    if (!file.ReadAt(section->offset, block))
        return {};
    block.resize(VersionBlockLength(block));
    return block;
}

} // namespace

std::uint32_t ElfVersionService::GetFileVersionInfoSizeA(const std::string& fileName) {
    return static_cast<std::uint32_t>(ReadVersionBlock(fileName).size());
}

bool ElfVersionService::GetFileVersionInfoA(const std::string& fileName,
                                            std::span<std::uint8_t> data) {
    const std::vector<std::uint8_t> block = ReadVersionBlock(fileName);
    if (block.empty())
        return false;
    std::copy_n(block.begin(), std::min(block.size(), data.size()), data.begin());
    return true;
}

std::optional<std::string> ElfVersionService::VerQueryValueA(std::span<const std::uint8_t> block,
                                                             std::string_view subBlock) {
    return QueryVersionBlock(block, subBlock);
}
