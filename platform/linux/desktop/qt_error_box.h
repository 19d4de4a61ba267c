#pragma once

#include "platform/error_box.h"

#include <string>

// A modal message box with the error icon and a single OK button.
class QtErrorBox final : public ErrorBox {
public:
    void ShowError(const std::string& caption, const std::string& text) override;
};

// Answers the error box that waits, as its OK button would; nothing when none is shown. GUI
// thread.
void AnswerWaitingErrorBox();
