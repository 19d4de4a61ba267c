#pragma once

#include "platform/log_sink.h"

#include <string>
#include <vector>

class FakeLogSink final : public LogSink {
public:
    void Report(const std::string& message) override { messages.push_back(message); }

    // Every message, oldest first.
    std::vector<std::string> messages;
};
