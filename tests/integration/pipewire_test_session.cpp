#include "tests/integration/pipewire_test_session.h"

#include "tests/integration/jack_test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

using namespace std::chrono_literals;

// The daemons in the order they start, each once the one before listens on its socket (in the
// runtime folder) where it has one: WirePlumber and the PulseAudio server give up on a PipeWire
// that is not there yet.
struct Daemon {
    const char* program;
    const char* socket;
};
const Daemon kDaemons[] = {
    {"pipewire", "pipewire-0"}, {"wireplumber", nullptr}, {"pipewire-pulse", "pulse/native"}};

// A fixed quantum, as the JACK tests run jackd, and a null sink in place of a sound card: the
// dummy driver then clocks the graph.
const char* const kPipeWireConfig = R"(context.properties = {
    default.clock.rate = 48000
    default.clock.allowed-rates = [ 48000 ]
    default.clock.quantum = 256
    default.clock.min-quantum = 256
    default.clock.max-quantum = 256
}
context.objects = [
    { factory = adapter
        args = {
            factory.name = support.null-audio-sink
            node.name = klavio-test-sink
            node.description = klavio-test-sink
            media.class = Audio/Sink
            audio.position = [ FL FR ]
        }
    }
]
)";

// WirePlumber leaves the machine's sound cards, cameras and Bluetooth alone: a private session
// bus cannot see the user's session reserving them.
const char* const kWirePlumberMain = "alsa_monitor.enabled = false\n"
                                     "v4l2_monitor.enabled = false\n"
                                     "libcamera_monitor.enabled = false\n";
const char* const kWirePlumberBluetooth = "bluez_monitor.enabled = false\n";

bool WriteFile(const std::filesystem::path& path, const char* text) {
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    std::ofstream file(path);
    file << text;
    return bool(file.flush());
}

// Whether something accepts connections on the Unix socket.
bool Listening(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const bool accepted =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return accepted;
}

void EndAndReap(pid_t pid, std::chrono::milliseconds patience) {
    if (pid <= 0)
        return;
    ::kill(pid, SIGCONT); // a stopped process would never see the SIGTERM
    ::kill(pid, SIGTERM);
    int status = 0;
    for (auto waited = 0ms; waited < patience && ::waitpid(pid, &status, WNOHANG) == 0;
         waited += 10ms)
        std::this_thread::sleep_for(10ms);
    if (::waitpid(pid, &status, WNOHANG) == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
}

} // namespace

std::string PipeWireTestSession::Missing() {
    for (const char* program : {"dbus-daemon", "pipewire", "wireplumber", "pipewire-pulse"})
        if (FindProgram(program).empty())
            return std::string(program) +
                   " is not installed (Debian packages dbus-daemon, pipewire, pipewire-bin, "
                   "wireplumber, pipewire-pulse, pipewire-jack)";
    return {};
}

pid_t PipeWireTestSession::Spawn(const std::vector<std::string>& argv, const std::string& logName) {
    // Everything the child needs is made before the fork: the test's threads may hold the
    // allocator's lock at that moment.
    const std::string program = FindProgram(argv.front());
    const std::string log = folder_ + "/" + logName + ".log";
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry)
        environment.emplace_back(*entry);
    for (const std::string& own :
         {"XDG_RUNTIME_DIR=" + folder_ + "/run", "PIPEWIRE_RUNTIME_DIR=" + folder_ + "/run",
          "XDG_CONFIG_HOME=" + folder_ + "/config", "XDG_STATE_HOME=" + folder_ + "/state",
          "DBUS_SESSION_BUS_ADDRESS=unix:path=" + folder_ + "/run/bus",
          "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + folder_ + "/no-system-bus",
          std::string("LD_LIBRARY_PATH=")}) {
        const std::string name = own.substr(0, own.find('=') + 1);
        std::erase_if(environment, [&](const std::string& e) { return e.starts_with(name); });
        environment.push_back(own);
    }
    std::vector<char*> envp;
    for (std::string& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    const pid_t parent = ::getpid();
    const pid_t group = group_;
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls until exec.
        ::setpgid(0, group > 0 ? group : 0);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(1);
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        ::dup2(in, STDIN_FILENO);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
        ::execve(program.c_str(), args.data(), envp.data());
        ::_exit(127);
    }
    if (pid > 0)
        ::setpgid(pid, group > 0 ? group : pid); // whichever of parent and child comes first
    return pid;
}

bool PipeWireTestSession::Start(std::string& whyNot) {
    Stop();
    char folder[] = "/tmp/klavio-pipewire-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        whyNot = std::string("no folder for PipeWire: ") + std::strerror(errno);
        return false;
    }
    folder_ = folder;
    const std::filesystem::path root(folder_);
    std::error_code error;
    std::filesystem::create_directory(root / "run", error);
    ::chmod((root / "run").c_str(), 0700); // PipeWire refuses a runtime folder others can enter
    if (!WriteFile(root / "config/pipewire/pipewire.conf.d/klavio-test.conf", kPipeWireConfig) ||
        !WriteFile(root / "config/wireplumber/main.lua.d/99-klavio-test.lua", kWirePlumberMain) ||
        !WriteFile(root / "config/wireplumber/bluetooth.lua.d/99-klavio-test.lua",
                   kWirePlumberBluetooth)) {
        whyNot = "cannot write PipeWire's configuration in " + folder_;
        return false;
    }

    const std::string bus = folder_ + "/run/bus";
    group_ =
        Spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=unix:path=" + bus},
              "dbus-daemon");
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (group_ > 0 && !Listening(bus) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    if (group_ <= 0 || !Listening(bus)) {
        whyNot = "the session bus did not start:\n" + Logs();
        return false;
    }
    ::setenv("PIPEWIRE_RUNTIME_DIR", (folder_ + "/run").c_str(), 1);
    ::setenv("PULSE_SERVER", ("unix:" + folder_ + "/run/pulse/native").c_str(), 1);
    ::unsetenv("PIPEWIRE_REMOTE");
    return LaunchDaemons(whyNot);
}

bool PipeWireTestSession::LaunchDaemons(std::string& whyNot) {
    for (const Daemon& daemon : kDaemons) {
        daemons_.push_back(Spawn({daemon.program}, daemon.program));
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (daemon.socket != nullptr && !Listening(folder_ + "/run/" + daemon.socket)) {
            int status = 0;
            if (daemons_.back() > 0 && ::waitpid(daemons_.back(), &status, WNOHANG) != 0)
                daemons_.back() = -1; // reaped: its number may soon be another process's
            if (daemons_.back() <= 0 || std::chrono::steady_clock::now() > deadline) {
                whyNot = std::string(daemon.program) + " did not start:\n" + Logs();
                return false;
            }
            std::this_thread::sleep_for(10ms);
        }
    }
    return true;
}

void PipeWireTestSession::StopDaemons() {
    // Clients first, so that none of them is left talking to a daemon that has gone.
    for (auto daemon = daemons_.rbegin(); daemon != daemons_.rend(); ++daemon)
        EndAndReap(*daemon, 5s);
    daemons_.clear();
    std::error_code error;
    std::filesystem::remove(folder_ + "/run/pipewire-0", error);
    std::filesystem::remove(folder_ + "/run/pipewire-0.lock", error);
}

void PipeWireTestSession::Stop() {
    if (folder_.empty())
        return;
    StopDaemons();
    EndAndReap(group_, 5s);
    // Whatever a daemon started on its own is in the group too.
    if (group_ > 0)
        ::kill(-group_, SIGKILL);
    group_ = -1;
    std::error_code error;
    std::filesystem::remove_all(folder_, error);
    folder_.clear();
}

bool PipeWireTestSession::Restart(std::string& whyNot) {
    StopDaemons();
    return LaunchDaemons(whyNot);
}

void PipeWireTestSession::Pause(bool paused) {
    if (!daemons_.empty() && daemons_.front() > 0)
        ::kill(daemons_.front(), paused ? SIGSTOP : SIGCONT);
}

std::string PipeWireTestSession::Logs() const {
    std::string said;
    for (const char* name : {"dbus-daemon", "pipewire", "wireplumber", "pipewire-pulse"}) {
        std::ifstream log(folder_ + "/" + name + ".log");
        if (log)
            said += std::string(name) + ": " + std::string(std::istreambuf_iterator<char>(log), {});
    }
    return said;
}
