#include "platform/linux/desktop/system_bus_joiner.h"

#include "formats/text.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <system_error>
#include <utility>

namespace {

// A value of a D-Bus address, where %XX stands for the byte XX. Nothing when it is malformed.
std::optional<std::string> Unescaped(std::string_view value) {
    std::string bytes;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '%') {
            bytes += value[i];
            continue;
        }
        if (i + 2 >= value.size() || HexDigitValue(value[i + 1]) < 0 ||
            HexDigitValue(value[i + 2]) < 0)
            return std::nullopt;
        bytes += static_cast<char>(HexDigitValue(value[i + 1]) * 16 + HexDigitValue(value[i + 2]));
        i += 2;
    }
    return bytes;
}

struct LocalSocket {
    sockaddr_un address{};
    socklen_t length = 0;
};

// The first transport of the address, when it is a local socket by path or by abstract name.
std::optional<LocalSocket> LocalSocketOf(std::string_view address) {
    const std::string_view first = address.substr(0, address.find(';'));
    if (!first.starts_with("unix:"))
        return std::nullopt;
    std::string_view keys = first.substr(5);
    while (!keys.empty()) {
        const std::string_view pair = keys.substr(0, keys.find(','));
        keys.remove_prefix(std::min(keys.size(), pair.size() + 1));
        const std::size_t equals = pair.find('=');
        if (equals == std::string_view::npos)
            continue;
        const std::string_view key = pair.substr(0, equals);
        if (key != "path" && key != "abstract")
            continue;
        const std::optional<std::string> name = Unescaped(pair.substr(equals + 1));
        LocalSocket socket;
        // An abstract name starts with a zero byte and has no end of its own.
        const std::size_t offset = key == "abstract" ? 1 : 0;
        if (!name || name->empty() || offset + name->size() >= sizeof socket.address.sun_path)
            return std::nullopt;
        socket.address.sun_family = AF_UNIX;
        std::memcpy(socket.address.sun_path + offset, name->data(), name->size());
        socket.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset +
                                               name->size() + (offset == 0 ? 1 : 0));
        return socket;
    }
    return std::nullopt;
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return fd_; }

private:
    int fd_;
};

// Waits for events on fd until deadline; false when the time ran out or the socket failed.
bool WaitFor(int fd, short events, std::chrono::steady_clock::time_point deadline) {
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd wanted{fd, events, 0};
        const int ready = ::poll(&wanted, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        return ready > 0 && (wanted.revents & events) != 0;
    }
}

std::atomic<int> connectionCount{0};

} // namespace

bool BusAnswers(const std::string& address, std::chrono::milliseconds patience) {
    const std::optional<LocalSocket> local = LocalSocketOf(address);
    if (!local)
        return address.find("unix:") != 0;
    const auto deadline = std::chrono::steady_clock::now() + patience;
    const Descriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (socket.Get() < 0)
        return false;
    if (::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&local->address),
                  local->length) != 0) {
        if (errno != EINPROGRESS && errno != EAGAIN)
            return false;
        if (!WaitFor(socket.Get(), POLLOUT, deadline))
            return false;
    }
    // The greeting's first step: a zero byte, then the request to be known by the user id the
    // bus sees on the socket, the id's decimal digits in hexadecimal.
    std::string greeting("\0AUTH EXTERNAL ", 15);
    for (const char digit : std::to_string(::getuid())) {
        static constexpr char kDigits[] = "0123456789abcdef";
        greeting += kDigits[static_cast<unsigned char>(digit) >> 4];
        greeting += kDigits[static_cast<unsigned char>(digit) & 0xF];
    }
    greeting += "\r\n";
    if (::send(socket.Get(), greeting.data(), greeting.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(greeting.size()))
        return false;
    // Any answer at all shows a bus that is alive: "OK", or "REJECTED" from one that wants
    // another way of being known, which the join then finds.
    if (!WaitFor(socket.Get(), POLLIN, deadline))
        return false;
    char answer[64];
    return ::recv(socket.Get(), answer, sizeof answer, 0) > 0;
}

SystemBusJoiner::SystemBusJoiner(std::string address, std::chrono::milliseconds patience,
                                 std::chrono::milliseconds retryAfter)
    : address_(std::move(address)), patience_(patience), retryAfter_(retryAfter) {
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
        // No thread to spare: the desktop's other sources name the language.
    }
}

SystemBusJoiner::~SystemBusJoiner() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

std::optional<QDBusConnection> SystemBusJoiner::Take() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(joined_, std::nullopt);
}

std::string SystemBusJoiner::SystemBusAddress() {
    if (const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS"); address && *address)
        return address;
    return "unix:path=/var/run/dbus/system_bus_socket";
}

// Runs on the joiner's own thread: it may wait on the bus as long as patience allows, and
// shares nothing with the GUI thread but what the mutex guards.
void SystemBusJoiner::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        lock.unlock();
        const bool answers = BusAnswers(address_, patience_);
        std::optional<QDBusConnection> bus;
        if (answers) {
            const QString name =
                QStringLiteral("klavio-system-bus-%1").arg(connectionCount.fetch_add(1));
            bus = QDBusConnection::connectToBus(QString::fromStdString(address_), name);
            if (!bus->isConnected()) {
                QDBusConnection::disconnectFromBus(name);
                bus.reset();
            }
        }
        lock.lock();
        if (bus) {
            joined_ = std::move(bus);
            return;
        }
        wake_.wait_for(lock, retryAfter_, [this] { return stopping_; });
    }
}
