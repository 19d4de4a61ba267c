#pragma once

#include "platform/program_location.h"

// The executable Qt's application object was started from; it must exist when asked.
class QtProgramLocation final : public ProgramLocation {
public:
    std::string ExecutablePath() override;
};
