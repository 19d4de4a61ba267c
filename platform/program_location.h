#pragma once

#include <string>

// Where the running program's own file is.
class ProgramLocation {
public:
    virtual ~ProgramLocation() = default;

    // The full path of the program's executable file, in the file system's encoding.
    virtual std::string ExecutablePath() = 0;
};
