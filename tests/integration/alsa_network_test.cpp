// klavio on one machine playing a synthesizer on another through aseqnet (alsa-utils), which
// carries sequencer events over TCP: on the synthesizer's machine "aseqnet" serves and passes
// what comes in to the synthesizer, on klavio's machine "aseqnet HOST" gives klavio a port to
// play. Here both ends run in the test VM and meet on loopback.

#include "platform/linux/alsa/alsa_midi_service.h"
#include "tests/integration/alsa_test_peer.h"
#include "tests/integration/midi_test_support.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <thread>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
const char* const kServer = "klavio-net-server";
const char* const kClient = "klavio-net-client";

constexpr int kPort = 40002; // aseqnet's own
const char* const kListening = "0A";
const char* const kConnected = "01";

// Whether the kernel's table of IPv4 TCP sockets has one on kPort in the state given.
bool HasSocket(const std::string& state) {
    char port[8];
    std::snprintf(port, sizeof port, ":%04X", kPort);
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line); // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, socketState;
        fields >> slot >> local >> remote >> socketState;
        if ((local.ends_with(port) || remote.ends_with(port)) && socketState == state)
            return true;
    }
    return false;
}

std::string FindOnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');)
        if (!folder.empty() && ::access((folder + "/" + program).c_str(), X_OK) == 0)
            return folder + "/" + program;
    return {};
}

class Aseqnet : public testing::Test {
protected:
    void SetUp() override {
        aseqnet_ = FindOnPath("aseqnet");
        if (aseqnet_.empty()) {
            if (std::getenv("CI") != nullptr)
                FAIL() << "aseqnet is not installed; CI must run the network tests";
            GTEST_SKIP() << "aseqnet is not installed (Debian package alsa-utils)";
        }
        ASSERT_TRUE(synth_.Ok());
        std::string whyNot;
        service_ = OpenAlsaMidiService("klavio-net-test", whyNot);
        ASSERT_NE(service_, nullptr) << whyNot;

        // The synthesizer's machine: the server hands what arrives to the synthesizer, and
        // sends on what the synthesizer plays.
        const std::string synth = synth_.DeviceName().substr(0, synth_.DeviceName().find(':'));
        server_ = Spawn(
            {"-p", std::to_string(kPort), "-n", kServer, "-d", synth + ":0", "-s", synth + ":0"});
        ASSERT_TRUE(WaitFor([] { return HasSocket(kListening); })) << "the server never listened";
        // klavio's machine, once connected.
        client_ = Spawn({"-p", std::to_string(kPort), "-n", kClient, "127.0.0.1"});
        ASSERT_TRUE(WaitFor([&] {
            return HasSocket(kConnected) && !Device(true, kClient).empty();
        })) << "the client never connected";
    }
    void TearDown() override {
        // Under load, aseqnet was seen never to end at SIGTERM (its server); one that has
        // not ended after 2 s is killed, and says so.
        for (const pid_t process : {client_, server_})
            if (process > 0) {
                ::kill(process, SIGTERM);
                bool ended = false;
                for (int waits = 0; !ended && waits < 200; ++waits) {
                    ended = ::waitpid(process, nullptr, WNOHANG) == process;
                    if (!ended)
                        std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
                if (!ended) {
                    std::printf("[ machine  ] aseqnet did not end at SIGTERM: killed\n");
                    ::kill(process, SIGKILL);
                    ::waitpid(process, nullptr, 0);
                }
            }
    }

    pid_t Spawn(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "aseqnet");
        std::vector<char*> argv;
        for (std::string& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::execv(aseqnet_.c_str(), argv.data());
            ::_exit(127);
        }
        return pid;
    }

    // The name of a device of the client in the list, or nothing.
    std::string Device(bool output, const std::string& client) {
        const int count = output ? service_->midiOutGetNumDevs() : service_->midiInGetNumDevs();
        for (int i = 0; i < count; ++i) {
            std::string name;
            output ? service_->midiOutGetDevCaps(i, name) : service_->midiInGetDevCaps(i, name);
            if (name.rfind(client + ":", 0) == 0)
                return name;
        }
        return {};
    }

    // Runs the event loop and lets the synthesizer read until done() holds.
    bool WaitFor(const std::function<bool()>& done) {
        QElapsedTimer clock;
        clock.start();
        while (!done() && clock.elapsed() < 20000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
            synth_.Drain();
        }
        return done();
    }

    std::string aseqnet_;
    AlsaPeer synth_{"klavio-net-synth"};
    std::unique_ptr<MidiService> service_;
    MidiEventRecorder receiver_;
    pid_t server_ = -1;
    pid_t client_ = -1;
};

TEST_F(Aseqnet, NotesControllerAndSysExReachTheSynthesizerAsExactBytes) {
    HMIDIOUT output = 0;
    ASSERT_EQ(service_->midiOutOpen(output, DeviceIndex(*service_, true, Device(true, kClient)),
                                    &receiver_),
              MMSYSERR_NOERROR);
    const Bytes sysEx = PatternedSysEx(300);
    TestLongMessage dump(sysEx);
    ASSERT_EQ(SendNotesControllerAndSysEx(*service_, output, dump), MMSYSERR_NOERROR);
    Bytes expected = {0x90, 0x3C, 0x64, 0xB3, 0x07, 0x5A};
    expected.insert(expected.end(), sysEx.begin(), sysEx.end());
    expected.insert(expected.end(), {0x80, 0x3C, 0x40});
    EXPECT_TRUE(WaitFor([&] { return synth_.received.size() >= expected.size(); }));
    EXPECT_EQ(synth_.received, expected);
    EXPECT_FALSE(synth_.undecodable);
    std::printf("[ measured ] %zu bytes sent, %zu received through aseqnet\n", expected.size(),
                synth_.received.size());
    EXPECT_EQ(service_->midiOutUnprepareHeader(output, &dump.header), MMSYSERR_NOERROR);

    // Key to synthesizer at random moments, beside the same straight to the synthesizer's
    // port, the floor.
    HMIDIOUT direct = 0;
    ASSERT_EQ(service_->midiOutOpen(direct, DeviceIndex(*service_, true, synth_.DeviceName()),
                                    &receiver_),
              MMSYSERR_NOERROR);
    std::mt19937 random(7);
    std::vector<double> millis[2];
    for (int i = 0; i < 40; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(1000 + random() % 10000));
        synth_.received.clear();
        const auto sent = Clock::now();
        ASSERT_EQ(service_->midiOutShortMsg(i % 2 ? direct : output, 0x403C90), MMSYSERR_NOERROR);
        while (synth_.received.empty() && Clock::now() - sent < std::chrono::seconds(5))
            synth_.Drain();
        ASSERT_EQ(synth_.received, Bytes({0x90, 0x3C, 0x40})) << i;
        millis[i % 2].push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
    }
    for (std::vector<double>& times : millis)
        std::sort(times.begin(), times.end());
    std::printf("[ measured ] key to synthesizer through aseqnet: median %.2f ms, slowest %.2f "
                "ms; straight: median %.2f ms, slowest %.2f ms; %zu keys each\n",
                millis[0][millis[0].size() / 2], millis[0].back(), millis[1][millis[1].size() / 2],
                millis[1].back(), millis[0].size());
    EXPECT_EQ(service_->midiOutClose(direct), MMSYSERR_NOERROR);
    EXPECT_EQ(service_->midiOutClose(output), MMSYSERR_NOERROR);
}

TEST_F(Aseqnet, KeysPlayedOnTheSynthesizersMachineReachKlavio) {
    HMIDIIN input = 0;
    ASSERT_EQ(service_->midiInOpen(input, DeviceIndex(*service_, false, Device(false, kClient)),
                                   &receiver_),
              MMSYSERR_NOERROR);
    ASSERT_EQ(service_->midiInStart(input), MMSYSERR_NOERROR);
    ASSERT_TRUE(synth_.Play({0x91, 0x40, 0x50, 0xB1, 0x40, 0x7F, 0x81, 0x40, 0x00}));
    const std::vector<std::uint32_t> expected = {0x504091, 0x7F40B1, 0x004081};
    EXPECT_TRUE(WaitFor([&] { return receiver_.messages.size() >= expected.size(); }));
    EXPECT_EQ(receiver_.messages, expected);
    EXPECT_EQ(service_->midiInClose(input), MMSYSERR_NOERROR);
}

} // namespace
