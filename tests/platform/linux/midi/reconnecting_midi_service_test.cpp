// The MIDI system coming and going under the service, played by fake systems that the opener
// hands out one after the other.

#include "platform/linux/midi/reconnecting_midi_service.h"
#include "tests/fakes/fake_midi_service.h"
#include "tests/integration/midi_test_support.h"

#include <QCoreApplication>
#include <QTest>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <functional>
#include <sstream>

namespace {

// Says when it is destroyed, so a test sees when a dropped system is let go.
class CountedFake : public FakeMidiService {
public:
    explicit CountedFake(int& destroyed) : destroyed_(destroyed) {
        outputDevices = {"a:in"};
        inputDevices = {"b:out"};
    }
    ~CountedFake() override { ++destroyed_; }

private:
    int& destroyed_;
};

class Reconnecting : public testing::Test {
protected:
    // The next attempt to open finds a system; returns it.
    CountedFake* Arrive() {
        auto system = std::make_unique<CountedFake>(destroyed_);
        CountedFake* raw = system.get();
        waiting_.push_back(std::move(system));
        return raw;
    }
    void Make(std::function<bool()> probe = {},
              std::chrono::milliseconds retryInterval = std::chrono::seconds(1)) {
        MidiSystemOpener opener;
        opener.probe = std::move(probe);
        opener.open = [this](std::string& whyNot) -> std::unique_ptr<MidiService> {
            ++opens_;
            if (waiting_.empty()) {
                whyNot = "nothing there";
                return nullptr;
            }
            std::unique_ptr<MidiService> system = std::move(waiting_.front());
            waiting_.pop_front();
            return system;
        };
        service_ = std::make_unique<ReconnectingMidiService>(std::move(opener), "klavio", log_,
                                                             retryInterval);
        service_->midiSetDeviceWatcher(&watcher_);
    }
    int Lines() const {
        const std::string said = log_.str();
        return static_cast<int>(std::count(said.begin(), said.end(), '\n'));
    }

    std::deque<std::unique_ptr<CountedFake>> waiting_;
    int destroyed_ = 0;
    int opens_ = 0;
    std::ostringstream log_;
    MidiEventRecorder watcher_;
    std::unique_ptr<ReconnectingMidiService> service_;
};

TEST_F(Reconnecting, TheSystemComesGoesAndComesBackWhileTheWindowIsTold) {
    Make();
    CountedFake* system = nullptr;
    HMIDIOUT port = 0;
    const struct {
        const char* what;
        std::function<void()> happen;
        bool running;
        int outputs; // the system's own port aside
        MMRESULT open;
        int events;
        int lines;
    } rows[] = {
        {"none at start", [] {}, false, 0, MMSYSERR_NODRIVER, 0, 1},
        {"still none", [&] { service_->Retry(); }, false, 0, MMSYSERR_NODRIVER, 0, 1},
        {"one starts", [&] { system = Arrive(), service_->Retry(); }, true, 1, MMSYSERR_NOERROR, 1,
         1},
        {"a device comes",
         [&] { system->outputDevices.push_back("c:in"), system->AnnounceChange(); }, true, 2,
         MMSYSERR_NOERROR, 2, 1},
        {"it stops and says so", [&] { system->systemRunning = false, system->AnnounceChange(); },
         false, 0, MMSYSERR_NODRIVER, 3, 2},
        {"another starts", [&] { system = Arrive(), service_->Retry(); }, true, 1, MMSYSERR_NOERROR,
         4, 2},
        {"it stops, seen by the timer", [&] { system->systemRunning = false, service_->Retry(); },
         false, 0, MMSYSERR_NODRIVER, 5, 3},
        {"a third starts", [&] { system = Arrive(), service_->Retry(); }, true, 1, MMSYSERR_NOERROR,
         6, 3},
        {"a port says the system has gone",
         [&] {
             system->shortMsgResult = MMSYSERR_NODRIVER;
             EXPECT_EQ(service_->midiOutShortMsg(port, 0x403C90), MMSYSERR_NODRIVER);
         },
         false, 0, MMSYSERR_NODRIVER, 7, 4},
    };
    for (const auto& row : rows) {
        row.happen();
        // The system's event reaches the service first, which then tells the watcher.
        QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents();
        EXPECT_EQ(service_->midiSystemRunning(), row.running) << row.what;
        EXPECT_EQ(service_->midiOutGetNumDevs(), row.outputs) << row.what;
        EXPECT_EQ(service_->midiInGetNumDevs(), row.running ? 1 : 0) << row.what;
        std::string name;
        EXPECT_EQ(service_->midiOutGetDevCaps(MIDI_MAPPER, name), MMSYSERR_NOERROR) << row.what;
        EXPECT_EQ(name, "klavio");
        HMIDIIN input = 0;
        EXPECT_EQ(service_->midiOutOpen(port, MIDI_MAPPER, &watcher_), row.open) << row.what;
        EXPECT_EQ(service_->midiInOpen(input, 0, &watcher_), row.open) << row.what;
        if (row.open == MMSYSERR_NOERROR) {
            EXPECT_EQ(service_->midiOutGetStatus(port), MMSYSERR_NOERROR) << row.what;
            EXPECT_EQ(service_->midiInClose(input), MMSYSERR_NOERROR);
        }
        EXPECT_EQ(watcher_.devicesChanged, row.events) << row.what;
        EXPECT_EQ(Lines(), row.lines) << row.what << "\n" << log_.str();
    }
}

TEST_F(Reconnecting, PortsOfAGoneSystemAnswerNoDriverAndHandBackWhatTheyHeld) {
    CountedFake* first = Arrive();
    Make();
    HMIDIOUT output = 0;
    HMIDIIN input = 0;
    ASSERT_EQ(service_->midiOutOpen(output, 0, &watcher_), MMSYSERR_NOERROR);
    ASSERT_EQ(service_->midiInOpen(input, 0, &watcher_), MMSYSERR_NOERROR);
    TestLongMessage sysEx({0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7});
    ASSERT_EQ(service_->midiOutPrepareHeader(output, &sysEx.header), MMSYSERR_NOERROR);
    ASSERT_EQ(service_->midiOutLongMsg(output, &sysEx.header), MMSYSERR_NOERROR);

    first->systemRunning = false;
    Arrive()->outputDevices = {"x:in", "y:in"};
    service_->Retry(); // drops the first
    service_->Retry(); // takes the second
    ASSERT_TRUE(service_->midiSystemRunning());
    EXPECT_EQ(service_->midiOutGetNumDevs(), 2);
    HMIDIOUT fresh = 0;
    ASSERT_EQ(service_->midiOutOpen(fresh, 0, &watcher_), MMSYSERR_NOERROR);
    EXPECT_NE(fresh, output);
    EXPECT_NE(fresh, input);

    const struct {
        const char* call;
        std::function<MMRESULT()> make;
        MMRESULT result;
    } rows[] = {
        {"out status", [&] { return service_->midiOutGetStatus(output); }, MMSYSERR_NODRIVER},
        {"in status", [&] { return service_->midiInGetStatus(input); }, MMSYSERR_NODRIVER},
        {"short", [&] { return service_->midiOutShortMsg(output, 0x403C90); }, MMSYSERR_NODRIVER},
        {"long", [&] { return service_->midiOutLongMsg(output, &sysEx.header); },
         MMSYSERR_NODRIVER},
        {"start", [&] { return service_->midiInStart(input); }, MMSYSERR_NODRIVER},
        {"reset", [&] { return service_->midiOutReset(output); }, MMSYSERR_NOERROR},
        {"unprepare", [&] { return service_->midiOutUnprepareHeader(output, &sysEx.header); },
         MMSYSERR_NOERROR},
        {"stop", [&] { return service_->midiInStop(input); }, MMSYSERR_NOERROR},
        {"in close", [&] { return service_->midiInClose(input); }, MMSYSERR_NOERROR},
        {"out close", [&] { return service_->midiOutClose(output); }, MMSYSERR_NOERROR},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(destroyed_, 0) << row.call << ": the gone system is let go too early";
        EXPECT_EQ(row.make(), row.result) << row.call;
    }
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(watcher_.done, std::vector<MIDIHDR*>{&sysEx.header});
    EXPECT_EQ(destroyed_, 1);
    EXPECT_EQ(service_->midiOutGetStatus(output), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(service_->midiOutGetStatus(fresh), MMSYSERR_NOERROR);
}

TEST_F(Reconnecting, ClosingAGoneSystemsPortHandsBackWhatItStillHeld) {
    CountedFake* first = Arrive();
    Make();
    HMIDIOUT output = 0;
    ASSERT_EQ(service_->midiOutOpen(output, 0, &watcher_), MMSYSERR_NOERROR);
    TestLongMessage sysEx({0xF0, 0x01, 0xF7});
    ASSERT_EQ(service_->midiOutPrepareHeader(output, &sysEx.header), MMSYSERR_NOERROR);
    ASSERT_EQ(service_->midiOutLongMsg(output, &sysEx.header), MMSYSERR_NOERROR);
    first->systemRunning = false;
    EXPECT_FALSE(service_->midiSystemRunning());
    EXPECT_EQ(service_->midiOutClose(output), MMSYSERR_NOERROR);
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(watcher_.done, std::vector<MIDIHDR*>{&sysEx.header});
    EXPECT_EQ(destroyed_, 1);
}

TEST_F(Reconnecting, AProbeOffTheWindowsThreadDecidesWhenToOpen) {
    std::atomic<bool> ready{false};
    Make([&ready] { return ready.load(); }, std::chrono::milliseconds(50));
    ASSERT_EQ(opens_, 1); // the first attempt at start opens directly
    Arrive();
    EXPECT_FALSE(QTest::qWaitFor([&] { return opens_ > 1; }, 300));
    ready = true;
    EXPECT_TRUE(QTest::qWaitFor([&] { return service_->midiSystemRunning(); }, 1000));
    EXPECT_EQ(opens_, 2);
}

} // namespace
