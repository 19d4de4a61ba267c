#pragma once

#include <QObject>

#include <csignal>
#include <functional>
#include <iterator>

class QSocketNotifier;

// Lets a desktop session or a terminal stop the program politely. SIGTERM, SIGINT and SIGHUP
// become a call on the GUI thread, so the program can end the way a closed window ends it:
// settings saved, sounding notes switched off. A second signal of the same kind ends the
// program at once, in case the polite way is stuck.
//
// One instance at a time; the signals get their previous handlers back when it goes away.
class StopRequests final : public QObject {
public:
    explicit StopRequests(std::function<void()> onStop);
    ~StopRequests() override;
    StopRequests(const StopRequests&) = delete;
    StopRequests& operator=(const StopRequests&) = delete;

    // False when no wake-up pipe could be made; the signals then keep their old handlers.
    bool Active() const { return notifier_ != nullptr; }

private:
    void Drain();

    std::function<void()> onStop_;
    int pipe_[2] = {-1, -1};
    QSocketNotifier* notifier_ = nullptr;
    static constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
    struct sigaction previous_[std::size(kSignals)] = {};
};
