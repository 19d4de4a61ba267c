#include "platform/linux/desktop/watched_text_file.h"

#include <cerrno>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A file changed this recently may change again within the same tick of the file system's
// clock and keep its stamp, so it is read again until it has been still for longer.
constexpr long long kSettleSeconds = 2;

// The file's text, or nothing when it is missing or not a regular file. Opening without
// blocking keeps a pipe or device placed at that path from stopping the window.
std::optional<std::string> ReadRegularFile(const std::string& path, std::size_t maxSize) {
    const int file = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (file < 0)
        return std::nullopt;
    std::optional<std::string> text;
    struct stat status {};
    if (fstat(file, &status) == 0 && S_ISREG(status.st_mode)) {
        text.emplace();
        char buffer[4096];
        while (text->size() < maxSize) {
            const ssize_t got = read(file, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            text->append(buffer, static_cast<std::size_t>(got));
        }
        if (text->size() > maxSize)
            text->resize(maxSize);
    }
    close(file);
    return text;
}

bool ChangedLately(long long modifiedSeconds) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec - modifiedSeconds < kSettleSeconds;
}

} // namespace

const std::optional<std::string>& WatchedTextFile::Read(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        stamp_.reset();
        text_.reset();
        return text_;
    }
    const Stamp stamp{status.st_dev,         status.st_ino,          status.st_size,
                      status.st_mtim.tv_sec, status.st_mtim.tv_nsec, status.st_ctim.tv_sec,
                      status.st_ctim.tv_nsec};
    if (path != path_ || stamp != stamp_ || ChangedLately(stamp.changedSeconds)) {
        path_ = path;
        stamp_ = stamp;
        text_ = ReadRegularFile(path, maxSize_);
    }
    return text_;
}
