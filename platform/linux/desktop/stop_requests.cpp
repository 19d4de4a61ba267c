#include "platform/linux/desktop/stop_requests.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <utility>

namespace {

// Shared with the handler, which may run on any of the program's threads (JACK's and Qt's
// included) while the GUI thread runs too: lock-free atomics only.
static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<std::int64_t>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);
// The write end of the wake-up pipe; -1 while no instance exists.
std::atomic<int> wakeFd{-1};
// When the request now waiting for the GUI thread came, in monotonic milliseconds plus one;
// 0 while none waits.
std::atomic<std::int64_t> waitingSince{0};
std::atomic<std::int64_t> stuckAfterMs{0};
std::atomic<bool> shuttingDown{false};

std::int64_t MonotonicMsPlusOne() {
    timespec now = {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000 + 1;
}

// Runs in signal context, on any thread: only async-signal-safe calls, no allocation, no lock.
extern "C" void OnStopSignal(int signal) {
    const int savedErrno = errno;
    if (shuttingDown.load()) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = ::write(wakeFd.load(), &byte, 1);
    } else {
        const std::int64_t now = MonotonicMsPlusOne();
        std::int64_t since = 0;
        if (waitingSince.compare_exchange_strong(since, now)) {
            const char byte = 1;
            // A full pipe already holds a wake-up; nothing else can be done here.
            [[maybe_unused]] const ssize_t written = ::write(wakeFd.load(), &byte, 1);
        } else if (now - since >= stuckAfterMs.load()) {
            // The signal stays blocked until this handler returns, and then has its default
            // effect.
            struct sigaction byDefault = {};
            byDefault.sa_handler = SIG_DFL;
            ::sigaction(signal, &byDefault, nullptr);
            ::raise(signal);
        }
    }
    errno = savedErrno;
}

} // namespace

StopRequests::StopRequests(std::function<void()> onStop, std::chrono::milliseconds stuckAfter)
    : onStop_(std::move(onStop)) {
    if (wakeFd.load() != -1)
        throw std::logic_error("only one StopRequests may exist at a time");
    if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    waitingSince.store(0);
    stuckAfterMs.store(stuckAfter.count());
    shuttingDown.store(false);
    wakeFd.store(pipe_[1]);
    notifier_ = new QSocketNotifier(pipe_[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &StopRequests::Drain);

    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    ::sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
        ::sigaction(kSignals[i], &action, &previous_[i]);
}

StopRequests::~StopRequests() {
    if (notifier_ == nullptr)
        return;
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
        ::sigaction(kSignals[i], &previous_[i], nullptr);
    wakeFd.store(-1);
    delete notifier_;
    ::close(pipe_[0]);
    ::close(pipe_[1]);
}

void StopRequests::ShutdownStarted(std::function<void()> onStopDuringShutdown) {
    onStopDuringShutdown_ = std::move(onStopDuringShutdown);
    shuttingDown.store(true);
}

void StopRequests::Drain() {
    // Answered from here on: a signal after this point is a new request.
    waitingSince.store(0);
    char bytes[16];
    bool requested = false;
    while (::read(pipe_[0], bytes, sizeof bytes) > 0)
        requested = true;
    if (!requested)
        return;
    const std::function<void()>& call = shuttingDown.load() ? onStopDuringShutdown_ : onStop_;
    if (call)
        call();
}
