#pragma once

// A small settings file of the user's desktop that is asked for again and again (the window
// polls the language once a second): it is read anew only when it changed, which a stat tells
// for far less than a read.

#include <cstddef>
#include <optional>
#include <string>

class WatchedTextFile {
public:
    // Reads at most maxSize bytes: a bigger file is not what the desktop wrote.
    explicit WatchedTextFile(std::size_t maxSize) : maxSize_(maxSize) {}

    // The text at path, or nothing when it is missing or not a regular file. Never blocks: a
    // pipe or device placed at the path is not opened for reading.
    const std::optional<std::string>& Read(const std::string& path);

private:
    // What tells one version of a file from the next, down to the nanosecond where the file
    // system keeps it.
    struct Stamp {
        unsigned long long device = 0;
        unsigned long long inode = 0;
        long long size = 0;
        long long modifiedSeconds = 0;
        long long modifiedNanoseconds = 0;
        long long changedSeconds = 0;
        long long changedNanoseconds = 0;
        bool operator==(const Stamp&) const = default;
    };

    std::size_t maxSize_;
    std::string path_;
    std::optional<Stamp> stamp_;
    std::optional<std::string> text_;
};
