#pragma once

// Calls into libjack that wait for the server's answer (registering and connecting ports,
// closing the client) run on a thread of their own, and the GUI thread waits for each only so
// long: a stopped or hung server must leave the window answering. A request that overstays is
// abandoned, not cancelled: it finishes on that thread whenever the server answers, and until
// then every further request is refused at once.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

class JackRequests {
public:
    JackRequests();
    // Joins the thread, or leaves it behind when a request is stuck on a silent server.
    ~JackRequests();
    JackRequests(const JackRequests&) = delete;
    JackRequests& operator=(const JackRequests&) = delete;

    // Runs request on the requests thread and waits up to patience for it. False when it did
    // not finish in time, or when an earlier request is still stuck and this one never ran.
    // A request must own everything it touches: it may outlive its caller.
    bool Run(std::function<void()> request, std::chrono::milliseconds patience);

private:
    struct Shared;
    static void Serve(std::shared_ptr<Shared> shared);

    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

// What a request that may be abandoned leaves for its caller. Whoever comes second of the
// request finishing and the caller giving up sees that the other side already moved on.
class JackRequestOutcome {
public:
    // On the requests thread, at the request's end: false when the caller gave up, so the
    // request must undo what it did.
    bool Finish() {
        int expected = kRunning;
        return state_.compare_exchange_strong(expected, kFinished);
    }
    // On the GUI thread, after a timed-out Run: false when the request finished after all.
    bool Abandon() {
        int expected = kRunning;
        return state_.compare_exchange_strong(expected, kAbandoned);
    }

private:
    static constexpr int kRunning = 0;
    static constexpr int kFinished = 1;
    static constexpr int kAbandoned = 2;
    std::atomic<int> state_{kRunning};
};
