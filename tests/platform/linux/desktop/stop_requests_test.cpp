#include "platform/linux/desktop/qt_error_box.h"
#include "platform/linux/desktop/stop_requests.h"

#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace {

void Ignore(int) {}

sighandler_t CurrentHandler(int signal) {
    struct sigaction current = {};
    ::sigaction(signal, nullptr, &current);
    return current.sa_handler;
}

TEST(StopRequests, SignalsBecomeOneCallOnTheGuiThreadAndHandlersComeBack) {
    struct sigaction own = {};
    own.sa_handler = Ignore;
    struct sigaction before[2] = {};
    ::sigaction(SIGINT, &own, &before[0]);
    ::sigaction(SIGHUP, &own, &before[1]);
    {
        int calls = 0;
        StopRequests requests([&] { ++calls; });
        ASSERT_TRUE(requests.Active());
        EXPECT_THROW(StopRequests([] {}), std::logic_error);

        ::raise(SIGINT);
        ::raise(SIGHUP);
        EXPECT_EQ(calls, 0) << "called from the handler, not from the event loop";
        EXPECT_TRUE(QTest::qWaitFor([&] { return calls > 0; }, 2000));
        QTest::qWait(20);
        EXPECT_EQ(calls, 1) << "two signals read in one go are one request";
    }
    EXPECT_EQ(CurrentHandler(SIGINT), &Ignore);
    EXPECT_EQ(CurrentHandler(SIGHUP), &Ignore);
    ::sigaction(SIGINT, &before[0], nullptr);
    ::sigaction(SIGHUP, &before[1], nullptr);

    // Once it is gone, a new one may take the signals.
    StopRequests again([] {});
    EXPECT_TRUE(again.Active());
}

// An error box on the way out must not hold the program: a further signal answers it, and the
// shutdown goes on to its note-offs. Left unanswered, the test answers it after a while.
TEST(StopRequests, DuringShutdownASignalAnswersTheErrorBoxThatWaits) {
    StopRequests requests([] { ADD_FAILURE() << "a signal during shutdown is no new request"; });
    requests.ShutdownStarted(AnswerWaitingErrorBox);
    QTimer signal;
    signal.setSingleShot(true);
    QObject::connect(&signal, &QTimer::timeout, [] { ::raise(SIGTERM); });
    signal.start(50);
    bool answeredByTest = false;
    QTimer giveUp;
    giveUp.setSingleShot(true);
    QObject::connect(&giveUp, &QTimer::timeout, [&] {
        answeredByTest = true;
        AnswerWaitingErrorBox();
    });
    giveUp.start(5000);
    QtErrorBox().ShowError("klavio", "settings not saved");
    EXPECT_FALSE(answeredByTest);
}

// Session managers send SIGTERM twice at once; only a request left unanswered for the set time
// means the GUI thread is stuck, and nothing may cut a shutdown short.
TEST(StopRequestsDeathTest, AFurtherSignalEndsTheProgramOnlyWhenThePoliteWayIsStuck) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    using namespace std::chrono_literals;
    struct Row {
        const char* what;
        std::chrono::milliseconds gap;
        bool shutdown;
        bool killed;
    };
    const Row rows[] = {
        {"two at once", 0ms, false, false},
        {"the first left unanswered", 300ms, false, true},
        {"during shutdown", 300ms, true, false},
    };
    for (const Row& row : rows) {
        const auto twoSignals = [&] {
            StopRequests requests([] {}, 200ms);
            if (row.shutdown)
                requests.ShutdownStarted();
            ::raise(SIGTERM);
            std::this_thread::sleep_for(row.gap);
            ::raise(SIGTERM);
            std::_Exit(0);
        };
        if (row.killed) {
            EXPECT_EXIT(twoSignals(), testing::KilledBySignal(SIGTERM), "") << row.what;
        } else {
            EXPECT_EXIT(twoSignals(), testing::ExitedWithCode(0), "") << row.what;
        }
    }
}

} // namespace
