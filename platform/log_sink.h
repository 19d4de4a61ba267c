#pragma once

// Where the program tells about problems that need no answer from the user: standard error on
// the desktop, a record in tests.

#include <ostream>
#include <string>
#include <utility>

class LogSink {
public:
    virtual ~LogSink() = default;
    // One complete message, without a line end.
    virtual void Report(const std::string& message) = 0;
};

// Writes each message as one line, after a prefix such as "klavio: ".
class StreamLogSink final : public LogSink {
public:
    StreamLogSink(std::ostream& out, std::string prefix) : out_(out), prefix_(std::move(prefix)) {}

    void Report(const std::string& message) override { out_ << prefix_ << message << std::endl; }

private:
    std::ostream& out_;
    std::string prefix_;
};
