#pragma once

// Calls into libjack that wait for the server's answer (registering, connecting and
// unregistering ports, closing the client) run on a thread of their own, one after another in
// the order they were posted, so the GUI thread never waits for a busy or stopped server
// longer than it chooses to. A request that overstays is not cancelled: it finishes whenever
// the server answers, and those behind it wait their turn.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

class JackRequests {
public:
    JackRequests();
    // Joins the thread once every posted request has run; when one is stuck on a silent server
    // the thread is left behind, and the requests behind the stuck one never run.
    ~JackRequests();
    JackRequests(const JackRequests&) = delete;
    JackRequests& operator=(const JackRequests&) = delete;

    // Queues request behind those posted before and returns at once; false when the queue is
    // full. A request must own everything it touches: it may outlive its caller.
    bool Post(std::function<void()> request);
    // Posts request and waits up to patience for it and those before it. False when it did not
    // finish in time, or at once while an earlier Run is still overdue.
    bool Run(std::function<void()> request, std::chrono::milliseconds patience);
    // Whether every posted request has run.
    bool Idle() const;

private:
    struct Shared;
    static void Serve(std::shared_ptr<Shared> shared);

    std::shared_ptr<Shared> shared_;
    std::thread thread_;
    bool overdue_ = false;
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
    // On the GUI thread: false when the request finished after all.
    bool Abandon() {
        int expected = kRunning;
        return state_.compare_exchange_strong(expected, kAbandoned);
    }
    // On the GUI thread: whether what the request left may be read.
    bool Finished() const { return state_.load() == kFinished; }

private:
    static constexpr int kRunning = 0;
    static constexpr int kFinished = 1;
    static constexpr int kAbandoned = 2;
    std::atomic<int> state_{kRunning};
};
