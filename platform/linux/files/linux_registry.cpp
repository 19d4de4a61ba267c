#include "platform/linux/files/linux_registry.h"

#include "formats/reg_file.h"
#include "platform/hive_registry_access.h"
#include "platform/log_sink.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr int kMaxCorruptCopies = 100;

std::string Reason(int error) {
    return std::error_code(error, std::generic_category()).message();
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~FileDescriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }

    int Get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes now; a failed close can mean the data did not reach the disk.
    bool Close() { return ::close(std::exchange(fd_, -1)) == 0; }

private:
    int fd_;
};

std::string Directory(const std::string& file) {
    const std::size_t slash = file.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : file.substr(0, slash);
}

// Creates the folders above file that are missing, readable by the user only.
bool MakeDirectoriesFor(const std::string& file, std::string& problem) {
    const std::string directory = Directory(file);
    for (std::size_t slash = directory.find('/', 1);; slash = directory.find('/', slash + 1)) {
        const std::string along = directory.substr(0, slash);
        if (::mkdir(along.c_str(), 0700) != 0 && errno != EEXIST) {
            problem = "cannot create " + along + ": " + Reason(errno);
            return false;
        }
        if (slash == std::string::npos)
            return true;
    }
}

bool LockWithin(int fd, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR)
            return false;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

enum class ReadResult { Read, Missing, TooLarge, Failed };

ReadResult ReadWhole(const std::string& file, std::size_t maxSize, std::string& text,
                     std::string& problem) {
    // Opening a pipe waits for a writer and reading a device may never end: neither waits here,
    // and only a plain file is read.
    const FileDescriptor in(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!in) {
        if (errno == ENOENT)
            return ReadResult::Missing;
        problem = Reason(errno);
        return ReadResult::Failed;
    }
    struct stat status {};
    if (::fstat(in.Get(), &status) != 0) {
        problem = Reason(errno);
        return ReadResult::Failed;
    }
    if (!S_ISREG(status.st_mode)) {
        problem = "it is not a regular file";
        return ReadResult::Failed;
    }
    char buffer[65536];
    while (text.size() <= maxSize) {
        const ssize_t got = ::read(in.Get(), buffer, sizeof buffer);
        if (got == 0)
            return ReadResult::Read;
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            problem = Reason(errno);
            return ReadResult::Failed;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return ReadResult::TooLarge;
}

// Renames the file to the first free name of registry.reg.corrupt, registry.reg.2.corrupt, ...
// without replacing anything there.
std::optional<std::string> MoveAside(const std::string& file) {
    for (int copy = 1; copy <= kMaxCorruptCopies; ++copy) {
        const std::string aside =
            file + (copy == 1 ? std::string() : "." + std::to_string(copy)) + ".corrupt";
        if (::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0)
            return aside;
        if (errno == EINVAL && ::link(file.c_str(), aside.c_str()) == 0) {
            // A file system that cannot rename without replacing: the old name goes once the
            // new one holds the file.
            ::unlink(file.c_str());
            return aside;
        }
        if (errno != EEXIST)
            return std::nullopt;
    }
    return std::nullopt;
}

bool WriteAll(int fd, const std::string& text) {
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t put = ::write(fd, text.data() + written, text.size() - written);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        written += static_cast<std::size_t>(put);
    }
    return true;
}

// What an access starts from: the lock, if it got it, and the hive the file holds.
struct OpenedFile {
    FileDescriptor lock;
    RegHive hive;
    // Why changes cannot be kept; empty when they can.
    std::string whyNotStored;
};

OpenedFile OpenFile(const std::string& file, LogSink& log, std::chrono::milliseconds lockWait,
                    std::size_t maxFileSize) {
    OpenedFile opened;
    if (file.empty()) {
        opened.whyNotStored = "there is no home folder to keep them in";
        return opened;
    }
    std::string problem;
    if (MakeDirectoriesFor(file, problem)) {
        const std::string lockFile = file + ".lock";
        opened.lock = FileDescriptor(
            ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!opened.lock)
            opened.whyNotStored = "cannot open " + lockFile + ": " + Reason(errno);
        else if (!LockWithin(opened.lock.Get(), lockWait))
            opened.whyNotStored = "another program kept " + lockFile + " locked";
    } else {
        opened.whyNotStored = problem;
    }

    // Reading needs no lock: a save replaces the whole file at once.
    std::string text;
    std::string fault = "the settings file " + file;
    switch (ReadWhole(file, maxFileSize, text, problem)) {
    case ReadResult::Missing:
        return opened;
    case ReadResult::Failed:
        log.Report("cannot read the settings file " + file + ": " + problem +
                   "; starting from the defaults");
        opened.whyNotStored = file + " cannot be read and is not replaced";
        return opened;
    case ReadResult::TooLarge:
        fault += " is larger than " + std::to_string(maxFileSize) + " bytes";
        break;
    case ReadResult::Read: {
        RegParseResult parsed = ParseRegFile(text);
        if (parsed.hive) {
            opened.hive = std::move(*parsed.hive);
            return opened;
        }
        fault +=
            " is damaged (line " + std::to_string(parsed.errorLine) + ": " + parsed.error + ")";
        break;
    }
    }
    // Without the lock the file may be another program's save in the making: left alone.
    const std::optional<std::string> aside =
        opened.whyNotStored.empty() ? MoveAside(file) : std::nullopt;
    if (aside) {
        log.Report(fault + "; kept as " + *aside + ", starting from the defaults");
    } else {
        log.Report(fault + "; starting from the defaults");
        opened.whyNotStored = file + " is damaged and is not replaced";
    }
    return opened;
}

class LinuxRegistryAccess final : public HiveRegistryAccess {
public:
    LinuxRegistryAccess(std::string file, LogSink& log, std::size_t maxFileSize, OpenedFile opened)
        : HiveRegistryAccess(std::move(opened.hive)), file_(std::move(file)), log_(log),
          maxFileSize_(maxFileSize), lock_(std::move(opened.lock)),
          whyNotStored_(std::move(opened.whyNotStored)) {}

    ~LinuxRegistryAccess() override {
        try {
            StoreChanges();
        } catch (const RegistryError& error) {
            log_.Report(error.what());
        }
    }

private:
    void Store(const RegHive& hive) override {
        if (!whyNotStored_.empty())
            throw RegistryError("settings not saved: " + whyNotStored_);
        const std::string temporary = file_ + ".tmp";
        FileDescriptor out(
            ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!out)
            Fail("cannot create " + temporary, errno, temporary);
        // A file the next start would refuse loses everything: what does not fit is lost alone.
        const RegFileText written = FormatRegFileWithin(hive, maxFileSize_);
        if (written.keysLeftOut > 0 || written.valuesLeftOut > 0)
            log_.Report("the settings file " + file_ + " may not pass " +
                        std::to_string(maxFileSize_) + " bytes: the last " +
                        std::to_string(written.keysLeftOut) + " keys and " +
                        std::to_string(written.valuesLeftOut) + " values are not saved");
        // A file left behind by an earlier save that failed may have other rights.
        if (::fchmod(out.Get(), 0600) != 0 || !WriteAll(out.Get(), written.text) ||
            ::fsync(out.Get()) != 0 || !out.Close())
            Fail("cannot write " + temporary, errno, temporary);
        if (::rename(temporary.c_str(), file_.c_str()) != 0)
            Fail("cannot rename " + temporary + " to " + file_, errno, temporary);
        // The rename itself reaches the disk with its folder.
        const FileDescriptor directory(
            ::open(Directory(file_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (directory)
            ::fsync(directory.Get());
    }

    [[noreturn]] static void Fail(const std::string& what, int error,
                                  const std::string& temporary) {
        ::unlink(temporary.c_str());
        throw RegistryError("settings not saved: " + what + ": " + Reason(error));
    }

    std::string file_;
    LogSink& log_;
    std::size_t maxFileSize_;
    FileDescriptor lock_; // held until the access ends
    std::string whyNotStored_;
};

std::string HomeFolder() {
    if (const char* home = std::getenv("HOME"))
        return home;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir)
        return found->pw_dir;
    return {};
}

} // namespace

std::string RegistryFilePath(const char* xdgConfigHome, const char* home) {
    if (xdgConfigHome && xdgConfigHome[0] == '/')
        return std::string(xdgConfigHome) + "/klavio/registry.reg";
    if (home && home[0] == '/')
        return std::string(home) + "/.config/klavio/registry.reg";
    return {};
}

LinuxRegistry::LinuxRegistry(LogSink& log)
    : LinuxRegistry(RegistryFilePath(std::getenv("XDG_CONFIG_HOME"), HomeFolder().c_str()), log) {}

LinuxRegistry::LinuxRegistry(std::string file, LogSink& log, std::chrono::milliseconds lockWait,
                             std::size_t maxFileSize)
    : file_(std::move(file)), log_(log), lockWait_(lockWait), maxFileSize_(maxFileSize) {}

std::unique_ptr<RegistryAccess> LinuxRegistry::Access() {
    return std::make_unique<LinuxRegistryAccess>(file_, log_, maxFileSize_,
                                                 OpenFile(file_, log_, lockWait_, maxFileSize_));
}
