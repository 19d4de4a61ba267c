#pragma once

// Every error that escapes a window handler or an event handler ends here: it is shown in the
// application's error box and the program carries on with its next event.

#include <functional>
#include <string>

class ErrorBox;

// The box's text for an error message: the message with a full stop added when its last
// character sorts after '.' (bytes compared unsigned, so a final non-ASCII letter gets one too).
std::string ErrorBoxText(std::string message);

// Runs step. An exception escaping it ends the step where it was thrown, is shown once in
// errorBox under caption, and goes no further. Returns whether step ran to its end.
bool RunGuarded(const std::function<void()>& step, ErrorBox& errorBox, const std::string& caption);
