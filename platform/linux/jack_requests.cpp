#include "platform/linux/jack_requests.h"

namespace {

constexpr int kIdle = 0;
constexpr int kPending = 1;         // a request is waiting or running
constexpr int kStop = 2;            // the thread ends
constexpr int kPendingThenStop = 3; // the thread ends after the request it is stuck in

} // namespace

struct JackRequests::Shared {
    std::atomic<int> state{kIdle};
    // Written by the GUI thread only while the state is idle, read by the requests thread only
    // while it is pending; the GUI thread also destroys it, so the requests thread frees nothing.
    std::function<void()> request;
};

JackRequests::JackRequests() : shared_(std::make_shared<Shared>()) {
    thread_ = std::thread(&JackRequests::Serve, shared_);
}

JackRequests::~JackRequests() {
    int expected = kIdle;
    if (!shared_->state.compare_exchange_strong(expected, kStop)) {
        expected = kPending;
        if (shared_->state.compare_exchange_strong(expected, kPendingThenStop)) {
            // The thread keeps the shared state alive, and the request owns what it touches.
            thread_.detach();
            return;
        }
        shared_->state.store(kStop); // the request finished in between
    }
    shared_->state.notify_all();
    thread_.join();
}

// Runs on the requests thread.
void JackRequests::Serve(std::shared_ptr<Shared> shared) {
    for (;;) {
        shared->state.wait(kIdle);
        if (shared->state.load() == kStop)
            return;
        shared->request();
        int expected = kPending;
        if (!shared->state.compare_exchange_strong(expected, kIdle))
            return; // told to stop while the request ran
        shared->state.notify_all();
    }
}

bool JackRequests::Run(std::function<void()> request, std::chrono::milliseconds patience) {
    if (shared_->state.load() != kIdle)
        return false;
    shared_->request = std::move(request);
    shared_->state.store(kPending);
    shared_->state.notify_all();
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (shared_->state.load() != kIdle) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    shared_->request = nullptr;
    return true;
}
