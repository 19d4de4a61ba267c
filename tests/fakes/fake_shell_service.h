#pragma once

#include "platform/shell_service.h"

#include <string>
#include <vector>

class FakeShellService final : public ShellService {
public:
    // What ShellExecuteA answers.
    bool result = true;
    // Every call, oldest first, as "<operation> <file>".
    std::vector<std::string> calls;

    bool ShellExecuteA(const std::string& operation, const std::string& file) override {
        calls.push_back(operation + ' ' + file);
        return result;
    }
};
