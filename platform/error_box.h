#pragma once

#include <string>

// The application's standard error box: tells the user about an error the program could not
// handle and returns once the user has acknowledged it.
class ErrorBox {
public:
    virtual ~ErrorBox() = default;
    virtual void ShowError(const std::string& caption, const std::string& text) = 0;
};
