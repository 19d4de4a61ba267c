#include "platform/linux/jack/jack_requests.h"

#include <array>
#include <cstdint>

namespace {

// Opening and closing a port take one request each; the window never has this many in flight.
constexpr std::size_t kQueued = 256;

} // namespace

struct JackRequests::Shared {
    // A slot is written by the GUI thread only while it is free (its request has run) and read
    // by the requests thread only between posted and finished; the GUI thread also clears it,
    // so the requests thread frees nothing while it serves.
    std::array<std::function<void()>, kQueued> requests;
    std::atomic<std::uint64_t> posted{0};
    std::atomic<std::uint64_t> finished{0};
    std::atomic<bool> stop{false};
    // Bumped on every post and on stop; the requests thread sleeps on it.
    std::atomic<std::uint32_t> signal{0};
    std::uint64_t cleared = 0; // GUI thread only: slots below are empty again
};

JackRequests::JackRequests() : shared_(std::make_shared<Shared>()) {
    thread_ = std::thread(&JackRequests::Serve, shared_);
}

JackRequests::~JackRequests() {
    const bool idle = Idle();
    shared_->stop.store(true);
    shared_->signal.fetch_add(1);
    shared_->signal.notify_all();
    if (idle) {
        thread_.join();
    } else {
        // The thread keeps the shared state alive, and each request owns what it touches.
        thread_.detach();
    }
}

// Runs on the requests thread.
void JackRequests::Serve(std::shared_ptr<Shared> shared) {
    for (;;) {
        const std::uint32_t signal = shared->signal.load();
        if (shared->stop.load())
            return;
        const std::uint64_t next = shared->finished.load();
        if (shared->posted.load() == next) {
            shared->signal.wait(signal);
            continue;
        }
        shared->requests[next % kQueued]();
        shared->finished.store(next + 1);
        shared->finished.notify_all();
    }
}

bool JackRequests::Post(std::function<void()> request) {
    const std::uint64_t finished = shared_->finished.load();
    for (; shared_->cleared < finished; ++shared_->cleared)
        shared_->requests[shared_->cleared % kQueued] = nullptr;
    const std::uint64_t posted = shared_->posted.load();
    if (posted - finished >= kQueued)
        return false;
    shared_->requests[posted % kQueued] = std::move(request);
    shared_->posted.store(posted + 1);
    shared_->signal.fetch_add(1);
    shared_->signal.notify_all();
    return true;
}

bool JackRequests::Run(std::function<void()> request, std::chrono::milliseconds patience) {
    if (overdue_ && !Idle())
        return false;
    overdue_ = false;
    if (!Post(std::move(request)))
        return false;
    const std::uint64_t mine = shared_->posted.load();
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (shared_->finished.load() < mine) {
        if (std::chrono::steady_clock::now() > deadline) {
            overdue_ = true;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

bool JackRequests::Idle() const {
    return shared_->finished.load() == shared_->posted.load();
}
