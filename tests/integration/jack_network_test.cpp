// klavio on one machine playing a synthesizer on another through NetJACK2, the network layer
// that comes with jackd2: the synthesizer's machine runs a master server with the network
// manager, klavio's machine a server with the net driver (the slave). Here both machines are
// one, joined over loopback inside a private network namespace, so that no multicast or UDP
// traffic leaves the test and no other JACK server is met: the namespace also gets a /dev/shm
// of its own, where JACK keeps its registry and sockets.
//
// A process can be a client of only one JACK server at a time (libjack keeps the server's
// shared memory in globals), so the synthesizer is this same program started again with
// --peer-on-master, talking over pipes.

#include "platform/linux/jack/jack_midi_service.h"
#include "tests/integration/jack_test_support.h"
#include "tests/integration/midi_test_support.h"

#include <QCoreApplication>
#include <QTest>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// The slave's name on the master: its ports there are "synthbox:midi_from_slave_1" (what
// klavio's machine plays) and "synthbox:midi_to_slave_1" (what comes back to it).
const char* const kSlaveName = "synthbox";
const char* const kFromSlave = "synthbox:midi_from_slave_1";
const char* const kToSlave = "synthbox:midi_to_slave_1";
// On klavio's machine the net driver's ports are the "system" MIDI ports, as a sound card's
// would be.
const char* const kSlavePlayback = "system:midi_playback_1";
const char* const kSlaveCapture = "system:midi_capture_1";
constexpr int kPeriodFrames = 256;
constexpr int kSampleRate = 48000;

std::string whyNoPrivateNetwork; // empty once the namespace is set up

bool WriteFile(const char* path, const std::string& text) {
    std::ofstream file(path);
    return static_cast<bool>(file << text << std::flush);
}

// Moves this process, still single-threaded, into network and mount namespaces of its own:
// loopback up and able to carry multicast (the network manager listens on a multicast group
// and says goodbye there), and a fresh /dev/shm. Without root, a user namespace grants the
// rights inside. Returns why not, or nothing.
std::string EnterPrivateNetwork() {
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNET | CLONE_NEWNS) != 0)
            return std::string("cannot make a private network namespace (unshare: ") +
                   std::strerror(errno) + ")";
        if (!WriteFile("/proc/self/setgroups", "deny") ||
            !WriteFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !WriteFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
            return "cannot map this user into a user namespace";
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0)
        return std::string("cannot mount a private /dev/shm: ") + std::strerror(errno);

    const int socket = ::socket(AF_INET, SOCK_DGRAM, 0);
    ifreq loopback{};
    std::strncpy(loopback.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = socket >= 0 && ::ioctl(socket, SIOCGIFFLAGS, &loopback) == 0;
    if (up) {
        loopback.ifr_flags = static_cast<short>(loopback.ifr_flags | IFF_UP | IFF_MULTICAST);
        up = ::ioctl(socket, SIOCSIFFLAGS, &loopback) == 0;
    }
    rtentry multicast{};
    auto* destination = reinterpret_cast<sockaddr_in*>(&multicast.rt_dst);
    auto* mask = reinterpret_cast<sockaddr_in*>(&multicast.rt_genmask);
    destination->sin_family = mask->sin_family = AF_INET;
    destination->sin_addr.s_addr = htonl(0xE0000000); // 224.0.0.0/4
    mask->sin_addr.s_addr = htonl(0xF0000000);
    multicast.rt_flags = RTF_UP;
    multicast.rt_dev = loopback.ifr_name;
    const bool routed = up && ::ioctl(socket, SIOCADDRT, &multicast) == 0;
    const std::string error = std::strerror(errno);
    if (socket >= 0)
        ::close(socket);
    if (!routed)
        return "cannot bring up loopback with a multicast route: " + error;
    return {};
}

std::string Hex(const MidiBytes& bytes) {
    std::string text;
    char digits[4];
    for (const std::uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02x ", byte);
        text += digits;
    }
    return text;
}

MidiBytes FromHex(std::istream& text) {
    MidiBytes bytes;
    for (unsigned value = 0; text >> std::hex >> value;)
        bytes.push_back(static_cast<std::uint8_t>(value));
    return bytes;
}

// The synthesizer's side, run in a process of its own on the master server. Once the slave's
// ports are there and connected, it says "ready"; then it prints every event that reaches it
// as "<steady clock ns> <hex bytes>" and sends every line of hex bytes it reads, until its
// input ends.
int RunPeerOnMaster() {
    std::string whyNot;
    std::unique_ptr<JackPeer> peer = JackPeer::Open("synth", whyNot);
    if (!peer) {
        std::fprintf(stderr, "%s\n", whyNot.c_str());
        return 1;
    }
    jack_client_t* client = peer->Client();
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while ((jack_port_by_name(client, kFromSlave) == nullptr ||
            jack_port_by_name(client, kToSlave) == nullptr) &&
           Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (jack_connect(client, kFromSlave, "synth:in") != 0 ||
        jack_connect(client, "synth:out", kToSlave) != 0) {
        std::fprintf(stderr, "the slave's ports did not appear on the master\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    std::string line;
    std::size_t printed = 0;
    for (pollfd input{STDIN_FILENO, POLLIN, 0};;) {
        if (::poll(&input, 1, 1) > 0) {
            char chunk[4096];
            const ssize_t size = ::read(STDIN_FILENO, chunk, sizeof chunk);
            if (size <= 0)
                return 0;
            line.append(chunk, static_cast<std::size_t>(size));
            for (std::size_t end; (end = line.find('\n')) != std::string::npos;) {
                std::istringstream text(line.substr(0, end));
                peer->Send(FromHex(text));
                line.erase(0, end + 1);
            }
        }
        const std::vector<MidiBytes>& received = peer->Received();
        for (; printed < received.size(); ++printed)
            std::printf("%lld %s\n",
                        static_cast<long long>(peer->LastReceivedAt().time_since_epoch().count()),
                        Hex(received[printed]).c_str());
        std::fflush(stdout);
    }
}

// The peer process as seen from the test: what it heard, and when.
class PeerOnMaster {
public:
    struct Heard {
        Clock::time_point at;
        MidiBytes bytes;
    };

    ~PeerOnMaster() { Stop(); }
    void Stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        for (const int pipe : {toPeer_, fromPeer_})
            if (pipe >= 0)
                ::close(pipe);
        pid_ = toPeer_ = fromPeer_ = -1;
    }

    bool Start(const std::string& masterName, std::string& whyNot) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
            whyNot = std::strerror(errno);
            return false;
        }
        // The child may only make async-signal-safe calls: its environment is made here.
        const std::string server = "JACK_DEFAULT_SERVER=" + masterName;
        std::vector<char*> environment;
        for (char** variable = environ; *variable != nullptr; ++variable)
            if (std::strncmp(*variable, "JACK_DEFAULT_SERVER=", 20) != 0)
                environment.push_back(*variable);
        environment.push_back(const_cast<char*>(server.c_str()));
        environment.push_back(nullptr);
        const char* const arguments[] = {"jack_network_tests", "--peer-on-master", nullptr};
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            ::dup2(in[0], STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            ::execve("/proc/self/exe", const_cast<char* const*>(arguments), environment.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        toPeer_ = in[1];
        fromPeer_ = out[0];
        if (ReadLine(std::chrono::seconds(15)) != "ready") {
            whyNot = "the synthesizer on the master did not get the slave's ports";
            return false;
        }
        return true;
    }

    void Send(const MidiBytes& event) {
        const std::string line = Hex(event) + "\n";
        EXPECT_EQ(::write(toPeer_, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    }

    // Waits until the peer has reported at least count events in all.
    const std::vector<Heard>& WaitFor(std::size_t count) {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (heard_.size() < count && Clock::now() < deadline)
            ReadEvent();
        return heard_;
    }
    // Waits for the first event with these bytes among those after the first skipped.
    const Heard* WaitFor(const MidiBytes& bytes, std::size_t skipped) {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        for (std::size_t i = skipped;; ++i) {
            while (i >= heard_.size() && Clock::now() < deadline)
                ReadEvent();
            if (i >= heard_.size())
                return nullptr;
            if (heard_[i].bytes == bytes)
                return &heard_[i];
        }
    }

private:
    void ReadEvent() {
        std::istringstream line(ReadLine(std::chrono::milliseconds(100)));
        long long at = 0;
        if (line >> at)
            heard_.push_back({Clock::time_point(Clock::duration(at)), FromHex(line)});
    }
    std::string ReadLine(Clock::duration limit) {
        const auto deadline = Clock::now() + limit;
        for (std::size_t end; Clock::now() < deadline;) {
            if ((end = buffer_.find('\n')) != std::string::npos) {
                std::string line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return line;
            }
            pollfd output{fromPeer_, POLLIN, 0};
            if (::poll(&output, 1, 5) <= 0)
                continue;
            char chunk[4096];
            const ssize_t size = ::read(fromPeer_, chunk, sizeof chunk);
            if (size <= 0)
                break;
            buffer_.append(chunk, static_cast<std::size_t>(size));
        }
        return {};
    }

    pid_t pid_ = -1;
    int toPeer_ = -1;
    int fromPeer_ = -1;
    std::string buffer_;
    std::vector<Heard> heard_;
};

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

class NetJack : public testing::Test {
protected:
    void SetUp() override {
        // CI must run what it can here; elsewhere the reason is said and the test skipped.
        std::string whyNot = whyNoPrivateNetwork;
        if (whyNot.empty() && FindJackd().empty())
            whyNot = "jackd is not installed (Debian package jackd2)";
        if (!whyNot.empty()) {
            if (std::getenv("CI") != nullptr)
                FAIL() << whyNot;
            GTEST_SKIP() << whyNot;
        }
        const std::string rate = std::to_string(kSampleRate);
        const std::string period = std::to_string(kPeriodFrames);
        ASSERT_TRUE(
            master_.Start(whyNot, {"-I", "netmanager", "-d", "dummy", "-r", rate, "-p", period}))
            << whyNot;
        // An explicit master address: on one machine a slave that looked for its master by
        // multicast would hear its own call and take it for the answer.
        ASSERT_TRUE(slave_.Start(whyNot, {"-d", "net", "-a", "127.0.0.1", "-n", kSlaveName, "-C",
                                          "0", "-P", "0", "-i", "1", "-o", "1", "-l", "2"}))
            << whyNot;
        ASSERT_TRUE(synth_.Start(master_.Name(), whyNot)) << whyNot;
        // Start pointed this process at the slave, the last server started.
        service_ = OpenJackMidiService("klavio", whyNot);
        ASSERT_TRUE(service_) << whyNot;
    }
    void TearDown() override {
        service_.reset();
        slave_.Stop();
        synth_.Stop();
        // The network manager holds a master that is told to stop for a dozen seconds, waiting
        // for clients it has dropped; its shared memory goes with this test's namespace anyway.
        master_.Stop(std::chrono::milliseconds(0));
    }

    JackTestServer master_;
    JackTestServer slave_;
    PeerOnMaster synth_;
    std::unique_ptr<MidiService> service_;
    MidiEventRecorder receiver_;
};

TEST_F(NetJack, NotesControllerAndSysExReachTheSynthesizerOnTheMaster) {
    HMIDIOUT output = 0;
    ASSERT_EQ(
        service_->midiOutOpen(output, DeviceIndex(*service_, true, kSlavePlayback), &receiver_),
        MMSYSERR_NOERROR);
    ASSERT_TRUE(QTest::qWaitFor([&] { return service_->midiOutGetStatus(output) == 0; }));
    const MidiBytes sysEx = PatternedSysEx(300);
    TestLongMessage dump(sysEx);
    ASSERT_EQ(SendNotesControllerAndSysEx(*service_, output, dump), MMSYSERR_NOERROR);
    ASSERT_TRUE(QTest::qWaitFor([&] { return receiver_.done.size() == 1; }));
    const std::vector<PeerOnMaster::Heard>& heard = synth_.WaitFor(4);
    ASSERT_EQ(heard.size(), 4u);
    EXPECT_EQ(heard[0].bytes, MidiBytes({0x90, 0x3C, 0x64}));
    EXPECT_EQ(heard[1].bytes, MidiBytes({0xB3, 0x07, 0x5A}));
    EXPECT_EQ(heard[3].bytes, MidiBytes({0x80, 0x3C, 0x40}));
    // jackd2 1.9.21's NetJACK2 copies the bytes of an event longer than four (kept apart from
    // the event in a JACK MIDI buffer) from and to the wrong place: the SysEx arrives whole in
    // length, its bytes lost. Whether they came through is reported, not judged, so that a
    // mended jackd2 passes too.
    EXPECT_EQ(heard[2].bytes.size(), sysEx.size());
    std::printf("[ measured ] NetJACK2 carried 9 bytes of short messages exactly; the %zu-byte "
                "SysEx arrived %s\n",
                sysEx.size(), heard[2].bytes == sysEx ? "intact" : "with its bytes changed");
    EXPECT_EQ(service_->midiOutUnprepareHeader(output, &dump.header), MMSYSERR_NOERROR);

    // Key to synthesizer at random moments within the periods, beside the same from klavio to
    // a peer on klavio's own server, the floor.
    std::string whyNot;
    std::unique_ptr<JackPeer> local = JackPeer::Open("local", whyNot);
    ASSERT_TRUE(local) << whyNot;
    HMIDIOUT localOutput = 0;
    ASSERT_EQ(
        service_->midiOutOpen(localOutput, DeviceIndex(*service_, true, "local:in"), &receiver_),
        MMSYSERR_NOERROR);
    ASSERT_TRUE(QTest::qWaitFor([&] { return service_->midiOutGetStatus(localOutput) == 0; }));
    std::mt19937 random(7);
    std::vector<double> acrossMillis, localMillis;
    auto millisSince = [](Clock::time_point sent, Clock::time_point at) {
        return std::chrono::duration<double, std::milli>(at - sent).count();
    };
    for (std::uint32_t key = 40; key < 60; ++key) {
        const MidiBytes note = {0x90, static_cast<std::uint8_t>(key), 0x40};
        std::this_thread::sleep_for(std::chrono::microseconds(2000 + random() % 20000));
        auto sent = Clock::now();
        ASSERT_EQ(service_->midiOutShortMsg(output, 0x400090 | key << 8), MMSYSERR_NOERROR);
        const PeerOnMaster::Heard* played = synth_.WaitFor(note, 4);
        ASSERT_NE(played, nullptr) << key;
        acrossMillis.push_back(millisSince(sent, played->at));

        std::this_thread::sleep_for(std::chrono::microseconds(2000 + random() % 20000));
        sent = Clock::now();
        ASSERT_EQ(service_->midiOutShortMsg(localOutput, 0x400090 | key << 8), MMSYSERR_NOERROR);
        ASSERT_TRUE(QTest::qWaitFor([&] { return local->Received().size() == key - 39; }));
        localMillis.push_back(millisSince(sent, local->LastReceivedAt()));
    }
    std::printf("[ measured ] key to synthesizer across NetJACK2 (latency 2 cycles): median %.1f "
                "ms, slowest %.1f ms; within one server: median %.1f ms, slowest %.1f ms; %zu "
                "keys each, periods of %.1f ms\n",
                Median(acrossMillis), *std::max_element(acrossMillis.begin(), acrossMillis.end()),
                Median(localMillis), *std::max_element(localMillis.begin(), localMillis.end()),
                acrossMillis.size(), 1000.0 * kPeriodFrames / kSampleRate);
    EXPECT_EQ(service_->midiOutClose(localOutput), MMSYSERR_NOERROR);
    EXPECT_EQ(service_->midiOutClose(output), MMSYSERR_NOERROR);
}

TEST_F(NetJack, KeysPlayedOnTheMasterReachKlavio) {
    HMIDIIN input = 0;
    ASSERT_EQ(service_->midiInOpen(input, DeviceIndex(*service_, false, kSlaveCapture), &receiver_),
              MMSYSERR_NOERROR);
    ASSERT_TRUE(QTest::qWaitFor([&] { return service_->midiInGetStatus(input) == 0; }));
    ASSERT_EQ(service_->midiInStart(input), MMSYSERR_NOERROR);
    synth_.Send({0x91, 0x40, 0x50});
    synth_.Send({0xB1, 0x40, 0x7F});
    synth_.Send({0x81, 0x40, 0x00});
    const std::vector<std::uint32_t> expected = {0x504091, 0x7F40B1, 0x004081};
    EXPECT_TRUE(QTest::qWaitFor([&] { return receiver_.messages.size() >= 3; }, 10000));
    EXPECT_EQ(receiver_.messages, expected);
    EXPECT_EQ(service_->midiInClose(input), MMSYSERR_NOERROR);
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--peer-on-master") == 0)
        return RunPeerOnMaster();
    // Namespaces are entered before anything starts a thread: unshare refuses a user
    // namespace to a process with several.
    whyNoPrivateNetwork = EnterPrivateNetwork();
    testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
