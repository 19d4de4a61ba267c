#pragma once

// The desktop shell: opens a document or a link the way the user's desktop opens it.

#include <string>

class ShellService {
public:
    virtual ~ShellService() = default;

    // Performs `operation` on `file` (8-bit text, Windows-1252), as the classic shell call of
    // that name does; "open" on a web link shows it in the user's browser. True when the opener
    // was started: what it does with the link is not reported back.
    virtual bool ShellExecuteA(const std::string& operation, const std::string& file) = 0;
};
