#include "tests/integration/jack_test_support.h"

#include "tests/integration/pipewire_test_session.h"

#include <jack/midiport.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string_view>
#include <thread>

#ifdef KLAVIO_TEST_VERDICTS
#include <gtest/gtest.h>
#endif

namespace {

// Cycles any test client of this process saw come late: begun more than one and a half periods
// after the one before, or reaching the peer more than half a period after they began.
std::atomic<std::uint64_t> lateCyclesOfTestClients{0};

// Runs on a test client's JACK process thread: counts this cycle if it came late. lastStart is
// the client's own, kept between its cycles.
void NoteLateCycle(jack_client_t* client, jack_time_t& lastStart) {
    jack_nframes_t frames = 0;
    jack_time_t start = 0;
    jack_time_t next = 0;
    float period = 0;
    if (jack_get_cycle_times(client, &frames, &start, &next, &period) != 0)
        return;
    // Signed: PipeWire estimates the start, which may lie a little after now.
    const auto since = [](jack_time_t later, jack_time_t earlier) {
        return static_cast<double>(static_cast<std::int64_t>(later - earlier));
    };
    if ((lastStart != 0 && since(start, lastStart) > 1.5 * period) ||
        since(jack_get_time(), start) > 0.5 * period)
        lateCyclesOfTestClients.fetch_add(1);
    lastStart = start;
}

// libjack reports from whichever thread went wrong, the peer's process thread included.
void Quiet(const char*) {}
void ToStderr(const char* message) {
    std::fprintf(stderr, "libjack: %s\n", message);
}

// Waits for a few of the peer's cycles, after which its callback has let go of a port.
void SleepCycles() {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
}

// Where this process's libjack came from: jackd's, or PipeWire's in its own folder.
bool LibjackIsPipeWires() {
    Dl_info library{};
    return ::dladdr(reinterpret_cast<void*>(&jack_client_open), &library) != 0 &&
           library.dli_fname != nullptr &&
           std::string_view(library.dli_fname).find("pipewire") != std::string_view::npos;
}

} // namespace

bool JackTestsOnPipeWire() {
    const char* server = std::getenv("KLAVIO_TEST_JACK_SERVER");
    return server != nullptr && std::string_view(server) == "pipewire";
}

std::string FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':'))
        if (!folder.empty() && ::access((folder + "/" + name).c_str(), X_OK) == 0)
            return folder + "/" + name;
    return {};
}

JackTestServer::JackTestServer() = default;

JackTestServer::~JackTestServer() {
    Stop();
}

std::string JackTestServer::Missing() {
    if (!JackTestsOnPipeWire())
        return FindJackd().empty() ? "jackd is not installed (Debian package jackd2)" : "";
    if (std::string missing = PipeWireTestSession::Missing(); !missing.empty())
        return missing;
    if (!LibjackIsPipeWires())
        return "this test runs with jackd's libjack, not PipeWire's (Debian package "
               "pipewire-jack; LD_LIBRARY_PATH as pw-jack sets it)";
    return {};
}

bool JackTestServer::Start(std::string& whyNot, const std::vector<std::string>& options) {
    if (JackTestsOnPipeWire()) {
        pipewire_ = std::make_unique<PipeWireTestSession>();
        lateCyclesAtStart_ = lateCyclesOfTestClients.load();
        return Launch(whyNot);
    }
    options_ = options;
    if (options_.empty())
        options_ = {"-d", "dummy", "-r", "48000", "-p", "256"};
    // JACK keeps room for only eight servers, and one that dies with clients attached never
    // gives its place back. A few fixed names, each held under a lock while in use, take those
    // places back the next time they are used; the lock dies with its holder.
    constexpr int kNames = 4;
    whyNot = "every JACK test server name is in use";
    for (int i = 0; i < kNames; ++i) {
        const std::string name = "klavio-test-" + std::to_string(i);
        lock_ = ::open(("/tmp/" + name + ".lock").c_str(), O_RDWR | O_CREAT, 0644);
        if (lock_ < 0)
            continue;
        if (::flock(lock_, LOCK_EX | LOCK_NB) != 0) {
            ::close(lock_);
            lock_ = -1;
            continue;
        }
        name_ = name;
        if (Launch(whyNot))
            return true;
        Stop();
    }
    return false;
}

bool JackTestServer::Launch(std::string& whyNot) {
    if (pipewire_) {
        if (!pipewire_->Start(whyNot))
            return false;
        jack_status_t status{};
        jack_client_t* probe = jack_client_open("probe", JackNoStartServer, &status);
        if (probe == nullptr)
            whyNot =
                "PipeWire runs, but its libjack cannot join it, status " + std::to_string(status);
        else
            jack_client_close(probe);
        return probe != nullptr;
    }
    ::setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
    logPath_ = "/tmp/" + name_ + ".log";
    const std::string jackd = FindJackd();
    // Synchronous mode: without real-time scheduling a client is often late on a busy machine,
    // and the asynchronous server then runs the next cycle without it, so what a peer wrote for
    // it in the missed cycle is lost before any client code can see it.
    std::vector<const char*> argv = {"jackd", realtime_ ? "--realtime" : "--no-realtime", "-S",
                                     "-n", name_.c_str()};
    for (const std::string& option : options_)
        argv.push_back(option.c_str());
    argv.push_back(nullptr);

    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
        // Only async-signal-safe calls until exec. The server inherits the lock on its name,
        // so the name stays taken until it is gone, even after a crash of this test.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(1);
        const int in = ::open("/dev/null", O_RDONLY);
        const int log = ::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(in, STDIN_FILENO);
        ::dup2(log, STDOUT_FILENO);
        ::dup2(log, STDERR_FILENO);
        ::execv(jackd.c_str(), const_cast<char* const*>(argv.data()));
        ::_exit(127);
    }
    if (pid_ < 0) {
        whyNot = std::string("cannot start jackd: ") + std::strerror(errno);
        return false;
    }

    // Until the server listens, every attempt would print a connection error.
    jack_set_error_function(Quiet);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool ready = false;
    while (!ready && std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            break;
        }
        jack_status_t jackStatus{};
        if (jack_client_t* probe = jack_client_open("probe", JackNoStartServer, &jackStatus)) {
            jack_client_close(probe);
            ready = true;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    jack_set_error_function(ToStderr);
    if (!ready) {
        std::ifstream log(logPath_);
        const std::string said(std::istreambuf_iterator<char>(log), {});
        whyNot = "jackd did not take clients; it said:\n" + said;
        if (said.find("Too many servers") != std::string::npos)
            whyNot += "JACK's registry of servers (/dev/shm/jack-shm-registry) is full of servers "
                      "that were killed; remove it while no jackd runs.\n";
    }
    return ready;
}

void JackTestServer::Pause(bool paused) {
    if (pipewire_)
        pipewire_->Pause(paused);
    if (pid_ > 0)
        ::kill(pid_, paused ? SIGSTOP : SIGCONT);
}

void JackTestServer::Stop(std::chrono::milliseconds patience) {
    // Held up, PipeWire 0.3.65 loses MIDI and audio between its clients and tells them of no
    // xrun: what went missing then cannot be told from what klavio lost. jackd reports such
    // cycles as xruns, which the tests account for.
#ifdef KLAVIO_TEST_VERDICTS
    if (const std::uint64_t late = lateCyclesOfTestClients.load() - lateCyclesAtStart_;
        pipewire_ && late > 0 && ::testing::Test::HasFailure())
        std::printf(
            "the machine held PipeWire up: %llu cycles reached the test clients late, and "
            "PipeWire loses MIDI and audio then without an xrun; the test counts as skipped\n",
            static_cast<unsigned long long>(late));
#endif
    pipewire_.reset();
    Pause(false); // a stopped process would never see the SIGTERM
    if (pid_ > 0) {
        // Only a server that can clean up after itself frees its place in JACK's registry.
        ::kill(pid_, SIGTERM);
        int status = 0;
        for (auto waited = std::chrono::milliseconds(0);
             waited < patience && ::waitpid(pid_, &status, WNOHANG) == 0;
             waited += std::chrono::milliseconds(10))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (::waitpid(pid_, &status, WNOHANG) == 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }
    if (!logPath_.empty())
        std::remove(logPath_.c_str());
    // Clients still attached when the server goes leave their semaphores behind.
    if (!name_.empty()) {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", error))
            if (entry.path().filename().string().find("_" + name_ + "_") != std::string::npos)
                std::filesystem::remove(entry.path(), error);
        name_.clear();
    }
    if (lock_ >= 0)
        ::close(lock_);
    lock_ = -1;
}

bool JackTestServer::Restart(std::string& whyNot) {
    if (pipewire_)
        return pipewire_->Restart(whyNot);
    // The name and its lock stay with this server while its process is replaced.
    const std::string name = name_;
    const int lock = lock_;
    lock_ = -1;
    Stop();
    name_ = name;
    lock_ = lock;
    return Launch(whyNot);
}

std::unique_ptr<JackPeer> JackPeer::Open(const std::string& name, std::string& whyNot) {
    std::unique_ptr<JackPeer> peer(new JackPeer);
    jack_status_t status{};
    // PipeWire 0.3.65 now and then fails a client that joins just after another left (status
    // JackInitFailure); a moment later it takes it.
    for (int attempt = 0; attempt < 3 && peer->client_ == nullptr; ++attempt) {
        if (attempt > 0) {
            std::fprintf(stderr, "the server refused peer %s (status %d); trying again\n",
                         name.c_str(), static_cast<int>(status));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        peer->client_ = jack_client_open(
            name.c_str(), JackOptions(JackNoStartServer | JackUseExactName), &status);
    }
    if (peer->client_ == nullptr) {
        whyNot = "the peer cannot join the server, status " + std::to_string(status);
        return nullptr;
    }
    peer->received_ = jack_ringbuffer_create(8 << 20);
    peer->toSend_ = jack_ringbuffer_create(1 << 20);
    peer->in_ = jack_port_register(peer->client_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    peer->out_ =
        jack_port_register(peer->client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    jack_set_process_callback(peer->client_, &JackPeer::OnProcess, peer.get());
    // Runs on one of JACK's threads: a cycle the server could not finish in time.
    jack_set_xrun_callback(
        peer->client_,
        [](void* self) {
            auto& peer = *static_cast<JackPeer*>(self);
            const std::uint64_t index = peer.xruns_.fetch_add(1);
            if (index < peer.xrunCycles_.size())
                peer.xrunCycles_[index].store(peer.cycles_.load());
            return 0;
        },
        peer.get());
    if (peer->in_ == nullptr || peer->out_ == nullptr || jack_activate(peer->client_) != 0) {
        whyNot = "the peer cannot register its ports";
        return nullptr;
    }
    return peer;
}

JackPeer::~JackPeer() {
    Close();
    if (received_ != nullptr)
        jack_ringbuffer_free(received_);
    if (toSend_ != nullptr)
        jack_ringbuffer_free(toSend_);
}

void JackPeer::Close() {
    if (client_ != nullptr)
        jack_client_close(client_);
    client_ = nullptr;
}

void JackPeer::RemovePorts() {
    jack_port_t* in = in_.exchange(nullptr);
    jack_port_t* out = out_.exchange(nullptr);
    SleepCycles();
    jack_port_unregister(client_, in);
    jack_port_unregister(client_, out);
}

const std::vector<MidiBytes>& JackPeer::Received() {
    std::uint32_t size = 0;
    std::uint64_t cycle = 0;
    jack_nframes_t frame = 0;
    while (jack_ringbuffer_peek(received_, reinterpret_cast<char*>(&size), sizeof size) ==
               sizeof size &&
           jack_ringbuffer_read_space(received_) >=
               sizeof size + sizeof cycle + sizeof frame + size) {
        jack_ringbuffer_read_advance(received_, sizeof size);
        jack_ringbuffer_read(received_, reinterpret_cast<char*>(&cycle), sizeof cycle);
        jack_ringbuffer_read(received_, reinterpret_cast<char*>(&frame), sizeof frame);
        cyclesAtReceipt_.push_back(cycle);
        framesAtReceipt_.push_back(frame);
        MidiBytes event(size);
        jack_ringbuffer_read(received_, reinterpret_cast<char*>(event.data()), size);
        receivedSoFar_.push_back(std::move(event));
    }
    return receivedSoFar_;
}

std::vector<std::uint64_t> JackPeer::XrunCycles() const {
    std::vector<std::uint64_t> cycles(std::min<std::uint64_t>(xruns_.load(), xrunCycles_.size()));
    for (std::size_t i = 0; i < cycles.size(); ++i)
        cycles[i] = xrunCycles_[i].load();
    return cycles;
}

std::uint64_t JackPeer::XrunsHeardBy(std::uint64_t cycle) const {
    const std::vector<std::uint64_t> cycles = XrunCycles();
    return static_cast<std::uint64_t>(
        std::count_if(cycles.begin(), cycles.end(), [&](std::uint64_t at) { return at <= cycle; }));
}

std::vector<MidiBytes> JackPeer::ReceivedLessXrunRepeats() {
    const std::vector<MidiBytes>& raw = Received();
    const std::vector<std::uint64_t> xruns = XrunCycles();
    // klavio repeats the note-offs of the few cycles around the one it heard of an xrun in. Each
    // client hears of an xrun on its own notification thread: on a busy machine the peer may do
    // so a cycle or two after klavio's repeat has come.
    const auto xrunBetween = [&](std::uint64_t from, std::uint64_t to) {
        return std::any_of(xruns.begin(), xruns.end(),
                           [&](std::uint64_t at) { return at + 4 >= from && at <= to + 4; });
    };
    std::vector<MidiBytes> kept;
    std::vector<std::uint64_t> keptAt;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const MidiBytes& event = raw[i];
        bool repeat = false;
        if (event.size() == 3 && (event[0] & 0xF0) == 0x80) {
            for (std::size_t j = kept.size(); j-- > 0;) {
                const MidiBytes& before = kept[j];
                if (before.size() == 3 && (before[0] & 0x0F) == (event[0] & 0x0F) &&
                    before[1] == event[1]) {
                    // klavio repeats a note-off as 8n nn 00: a note-on without velocity
                    // comes again spelled so.
                    const bool same = before == event || ((before[0] & 0xF0) == 0x90 &&
                                                          before[2] == 0 && event[2] == 0);
                    repeat = same && xrunBetween(keptAt[j], cyclesAtReceipt_[i]);
                    break;
                }
            }
        }
        if (repeat) {
            std::printf("[ machine  ] a note-off came again after an xrun\n");
            continue;
        }
        kept.push_back(event);
        keptAt.push_back(cyclesAtReceipt_[i]);
    }
    return kept;
}

void JackPeer::Send(const MidiBytes& event) {
    const auto size = static_cast<std::uint32_t>(event.size());
    MidiBytes record(sizeof size);
    std::memcpy(record.data(), &size, sizeof size);
    record.insert(record.end(), event.begin(), event.end());
    jack_ringbuffer_write(toSend_, reinterpret_cast<const char*>(record.data()), record.size());
}

std::uint32_t JackPeer::FloodMessage(std::uint32_t index) {
    const std::uint32_t note = index / 2;
    const std::uint32_t channel = note / 128 % 16;
    const std::uint32_t key = note % 128;
    if (index % 2 == 0)
        return (0x90 | channel) | key << 8 | (1 + note % 127) << 16;
    return (0x80 | channel) | key << 8;
}

// Runs on the peer's JACK process thread.
int JackPeer::OnProcess(jack_nframes_t frames, void* self) {
    static_cast<JackPeer*>(self)->Process(frames);
    return 0;
}

// Runs on the peer's JACK process thread.
void JackPeer::Process(jack_nframes_t frames) {
    NoteLateCycle(client_, lastCycleStart_);
    if (jack_port_t* in = in_.load()) {
        void* buffer = jack_port_get_buffer(in, frames);
        const std::uint32_t count = jack_midi_get_event_count(buffer);
        const jack_nframes_t frame = jack_last_frame_time(client_);
        if (count > 0)
            lastReceivedAt_.store(std::chrono::steady_clock::now().time_since_epoch().count());
        for (std::uint32_t i = 0; i < count; ++i) {
            jack_midi_event_t event{};
            if (jack_midi_event_get(&event, buffer, i) != 0)
                continue;
            const auto size = static_cast<std::uint32_t>(event.size);
            const std::uint64_t cycle = cycles_.load();
            if (jack_ringbuffer_write_space(received_) <
                sizeof size + sizeof cycle + sizeof frame + size)
                break; // the tests see the loss as a missing event
            jack_ringbuffer_write(received_, reinterpret_cast<const char*>(&size), sizeof size);
            jack_ringbuffer_write(received_, reinterpret_cast<const char*>(&cycle), sizeof cycle);
            jack_ringbuffer_write(received_, reinterpret_cast<const char*>(&frame), sizeof frame);
            jack_ringbuffer_write(received_, reinterpret_cast<const char*>(event.buffer), size);
        }
    }
    if (jack_port_t* out = out_.load()) {
        void* buffer = jack_port_get_buffer(out, frames);
        jack_midi_clear_buffer(buffer);
        std::uint32_t size = 0;
        while (jack_ringbuffer_peek(toSend_, reinterpret_cast<char*>(&size), sizeof size) ==
                   sizeof size &&
               jack_ringbuffer_read_space(toSend_) >= sizeof size + size) {
            jack_midi_data_t* event = jack_midi_max_event_size(buffer) >= size
                                          ? jack_midi_event_reserve(buffer, 0, size)
                                          : nullptr;
            if (event == nullptr)
                break;
            jack_ringbuffer_read_advance(toSend_, sizeof size);
            jack_ringbuffer_read(toSend_, reinterpret_cast<char*>(event), size);
        }
        const std::uint32_t floodCount = floodCount_.load();
        while (floodSent_ < floodCount && jack_midi_max_event_size(buffer) >= 3) {
            const std::uint32_t message = FloodMessage(floodSent_);
            const jack_midi_data_t bytes[3] = {static_cast<jack_midi_data_t>(message),
                                               static_cast<jack_midi_data_t>(message >> 8),
                                               static_cast<jack_midi_data_t>(message >> 16)};
            if (jack_midi_event_write(buffer, 0, bytes, sizeof bytes) != 0)
                break;
            ++floodSent_;
        }
    }
    cycles_.fetch_add(1);
}

std::unique_ptr<JackRecorder> JackRecorder::Open(const std::string& name, std::string& whyNot) {
    std::unique_ptr<JackRecorder> recorder(new JackRecorder);
    jack_status_t status{};
    recorder->client_ =
        jack_client_open(name.c_str(), JackOptions(JackNoStartServer | JackUseExactName), &status);
    if (recorder->client_ == nullptr) {
        whyNot = "the recorder cannot join the server, status " + std::to_string(status);
        return nullptr;
    }
    recorder->recorded_ =
        jack_ringbuffer_create(sizeof(float) * 60 * jack_get_sample_rate(recorder->client_));
    recorder->in_ =
        jack_port_register(recorder->client_, "in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(recorder->client_, &JackRecorder::OnProcess, recorder.get());
    if (recorder->in_ == nullptr || jack_activate(recorder->client_) != 0) {
        whyNot = "the recorder cannot register its port";
        return nullptr;
    }
    return recorder;
}

JackRecorder::~JackRecorder() {
    if (client_ != nullptr)
        jack_client_close(client_);
    if (recorded_ != nullptr)
        jack_ringbuffer_free(recorded_);
}

double JackRecorder::SampleRate() const {
    return jack_get_sample_rate(client_);
}

int JackRecorder::Listen(const std::string& prefix) {
    const char** ports =
        jack_get_ports(client_, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput);
    int connected = 0;
    for (const char** port = ports; ports != nullptr && *port != nullptr; ++port) {
        if (!std::string_view(*port).starts_with(prefix))
            continue;
        const int result = jack_connect(client_, *port, jack_port_name(in_));
        if (result == 0 || result == EEXIST)
            ++connected;
    }
    jack_free(ports);
    return connected;
}

std::vector<float> JackRecorder::Take() {
    std::vector<float> samples(jack_ringbuffer_read_space(recorded_) / sizeof(float));
    jack_ringbuffer_read(recorded_, reinterpret_cast<char*>(samples.data()),
                         samples.size() * sizeof(float));
    return samples;
}

void JackRecorder::Arm(float threshold) {
    threshold_.store(threshold);
    firstLoudAt_.store(0);
}

// Runs on the recorder's JACK process thread.
int JackRecorder::OnProcess(jack_nframes_t frames, void* self) {
    static_cast<JackRecorder*>(self)->Process(frames);
    return 0;
}

// Runs on the recorder's JACK process thread.
void JackRecorder::Process(jack_nframes_t frames) {
    NoteLateCycle(client_, lastCycleStart_);
    const Clock::rep now = Clock::now().time_since_epoch().count();
    const auto* samples = static_cast<const float*>(jack_port_get_buffer(in_, frames));
    const float threshold = threshold_.load();
    for (jack_nframes_t i = 0; i < frames; ++i)
        if (std::abs(samples[i]) > threshold) {
            lastLoudAt_.store(now);
            if (firstLoudAt_.load() == 0)
                firstLoudAt_.store(now);
            break;
        }
    // Whole samples only, so that the reader never sees half of one.
    const std::size_t room = jack_ringbuffer_write_space(recorded_) / sizeof(float);
    const std::size_t kept = std::min<std::size_t>(frames, room);
    jack_ringbuffer_write(recorded_, reinterpret_cast<const char*>(samples), kept * sizeof(float));
}
