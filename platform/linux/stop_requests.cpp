#include "platform/linux/stop_requests.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <utility>

namespace {

// The write end of the wake-up pipe, for the handler; -1 while no instance exists.
volatile sig_atomic_t wakeFd = -1;

extern "C" void OnStopSignal(int) {
    const int savedErrno = errno;
    const char byte = 1;
    // A full pipe already holds a wake-up; nothing else can be done here.
    [[maybe_unused]] const ssize_t written = ::write(wakeFd, &byte, 1);
    errno = savedErrno;
}

} // namespace

StopRequests::StopRequests(std::function<void()> onStop) : onStop_(std::move(onStop)) {
    if (wakeFd != -1)
        throw std::logic_error("only one StopRequests may exist at a time");
    if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    wakeFd = pipe_[1];
    notifier_ = new QSocketNotifier(pipe_[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &StopRequests::Drain);

    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    ::sigemptyset(&action.sa_mask);
    // The handler runs once; the next signal of that kind has its default effect.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
        ::sigaction(kSignals[i], &action, &previous_[i]);
}

StopRequests::~StopRequests() {
    if (notifier_ == nullptr)
        return;
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
        ::sigaction(kSignals[i], &previous_[i], nullptr);
    wakeFd = -1;
    delete notifier_;
    ::close(pipe_[0]);
    ::close(pipe_[1]);
}

void StopRequests::Drain() {
    char bytes[16];
    bool requested = false;
    while (::read(pipe_[0], bytes, sizeof bytes) > 0)
        requested = true;
    if (requested && onStop_)
        onStop_();
}
