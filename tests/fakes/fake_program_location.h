#pragma once

#include "platform/program_location.h"

#include <string>

class FakeProgramLocation final : public ProgramLocation {
public:
    std::string executablePath = "/usr/bin/klavio";
    int calls = 0;

    std::string ExecutablePath() override {
        ++calls;
        return executablePath;
    }
};
