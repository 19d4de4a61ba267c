#include "app/error_funnel.h"

#include "platform/error_box.h"

#include <exception>
#include <utility>

std::string ErrorBoxText(std::string message) {
    if (!message.empty() &&
        static_cast<unsigned char>(message.back()) > static_cast<unsigned char>('.'))
        message += '.';
    return message;
}

bool RunGuarded(const std::function<void()>& step, ErrorBox& errorBox, const std::string& caption) {
    // The box is shown outside the catch blocks: it runs an event loop of its own, and nothing
    // that loop dispatches should find an exception still in flight.
    std::string message;
    try {
        step();
        return true;
    } catch (const std::exception& error) {
        message = error.what();
    } catch (...) {
        message = "Unknown error";
    }
    errorBox.ShowError(caption, ErrorBoxText(std::move(message)));
    return false;
}
