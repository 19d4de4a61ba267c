#pragma once

// The user's registry on this system: one file in the registry editor's export format (see
// formats/reg_file.h), $XDG_CONFIG_HOME/klavio/registry.reg or ~/.config/klavio/registry.reg.
//
// Nothing in it is lost: a save writes a new file beside the old one and renames it over the
// old one only once it is complete on disk; an access holds a lock on "registry.reg.lock" from
// reading to saving, so two running programs never mix their changes; the file can be read by
// its owner only; and a file that cannot be read as a registry file is renamed aside to
// "registry.reg.corrupt" and reported before the program starts from its defaults. A save never
// writes a file larger than a read takes: what does not fit is left out and reported. Something
// other than a plain file in the file's place (a pipe, a device) is reported, neither read nor
// replaced.

#include "formats/reg_file.h"
#include "platform/registry.h"

#include <chrono>
#include <memory>
#include <string>

class LogSink;

// The file for the given XDG_CONFIG_HOME and HOME; either may be null. A relative
// XDG_CONFIG_HOME is passed over, as the XDG base directory rules ask. Empty when neither
// gives an absolute path.
std::string RegistryFilePath(const char* xdgConfigHome, const char* home);

class LinuxRegistry final : public RegistryService {
public:
    // The file of the user running the program, found from the environment.
    explicit LinuxRegistry(LogSink& log);
    // An access waits up to lockWait for another program's access to end; after that it still
    // reads, but it keeps no changes. A file larger than maxFileSize is not read as settings.
    LinuxRegistry(std::string file, LogSink& log,
                  std::chrono::milliseconds lockWait = std::chrono::seconds(10),
                  std::size_t maxFileSize = kMaxRegFileSize);

    std::unique_ptr<RegistryAccess> Access() override;
    const std::string& File() const { return file_; }

private:
    std::string file_;
    LogSink& log_;
    std::chrono::milliseconds lockWait_;
    std::size_t maxFileSize_;
};
