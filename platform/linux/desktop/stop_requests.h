#pragma once

#include <QObject>

#include <chrono>
#include <csignal>
#include <functional>
#include <iterator>

class QSocketNotifier;

// Lets a desktop session or a terminal stop the program politely. SIGTERM, SIGINT and SIGHUP
// become a call on the GUI thread, so the program can end the way a closed window ends it:
// settings saved, sounding notes switched off.
//
// Signals that come while a request waits for the GUI thread are the same request: a session
// manager or an impatient user often sends two at once. Only when a request has waited
// unanswered for stuckAfter does a further signal end the program at once, because then the
// polite way is stuck. Once shutdown has started no signal ends the program, so that none cuts
// short the note-offs; a signal then becomes a call of its own on the GUI thread, which answers
// whatever the shutdown waits for (an error box), so that it goes on to its end. A shutdown that
// hangs elsewhere needs SIGKILL.
//
// One instance at a time; the signals get their previous handlers back when it goes away.
class StopRequests final : public QObject {
public:
    explicit StopRequests(std::function<void()> onStop,
                          std::chrono::milliseconds stuckAfter = std::chrono::seconds(2));
    ~StopRequests() override;
    StopRequests(const StopRequests&) = delete;
    StopRequests& operator=(const StopRequests&) = delete;

    // False when no wake-up pipe could be made; the signals then keep their old handlers.
    bool Active() const { return notifier_ != nullptr; }

    // The event loop has returned and the program is on its way out. Signals from now on call
    // onStopDuringShutdown on the GUI thread, whenever it next runs events.
    void ShutdownStarted(std::function<void()> onStopDuringShutdown = {});

private:
    void Drain();

    std::function<void()> onStop_;
    std::function<void()> onStopDuringShutdown_;
    int pipe_[2] = {-1, -1};
    QSocketNotifier* notifier_ = nullptr;
    static constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
    struct sigaction previous_[std::size(kSignals)] = {};
};
