#pragma once

#include "platform/error_box.h"

#include <ostream>
#include <string>
#include <vector>

class FakeErrorBox final : public ErrorBox {
public:
    struct Call {
        std::string caption;
        std::string text;
        bool operator==(const Call&) const = default;
        friend std::ostream& operator<<(std::ostream& out, const Call& call) {
            return out << '{' << call.caption << ", " << call.text << '}';
        }
    };

    void ShowError(const std::string& caption, const std::string& text) override {
        calls.push_back({caption, text});
    }

    // Every box shown, oldest first.
    std::vector<Call> calls;
};
