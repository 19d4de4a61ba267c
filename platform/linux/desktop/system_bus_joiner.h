#pragma once

// Joins the system bus without the GUI thread ever waiting for it. Joining asks the bus for a
// greeting, and a bus that has hung (it takes the connection and never answers) would hold the
// asker for good: Qt's own join waits on it without a bound. So a thread of its own first asks
// the bus, with a bound, whether it answers at all, and joins only a bus that does; it asks
// again every few seconds until one does. The GUI thread takes the connection whenever it looks.

#include <QDBusConnection>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class SystemBusJoiner {
public:
    // address: a D-Bus address such as "unix:path=/run/dbus/system_bus_socket".
    explicit SystemBusJoiner(std::string address,
                             std::chrono::milliseconds patience = std::chrono::milliseconds(500),
                             std::chrono::milliseconds retryAfter = std::chrono::seconds(5));
    // Waits at most one patience for the joining thread to end.
    ~SystemBusJoiner();
    SystemBusJoiner(const SystemBusJoiner&) = delete;
    SystemBusJoiner& operator=(const SystemBusJoiner&) = delete;

    // The joined bus, once; nothing until the bus has answered. GUI thread.
    std::optional<QDBusConnection> Take();

    // The system bus's address from the environment, else the usual socket.
    static std::string SystemBusAddress();

private:
    void Run();

    const std::string address_;
    const std::chrono::milliseconds patience_;
    const std::chrono::milliseconds retryAfter_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::optional<QDBusConnection> joined_;
    std::thread thread_;
};

// Whether whatever listens at a D-Bus address answers the first step of a greeting within
// patience. True for an address it cannot ask (a transport other than a local socket): those
// are left to the join itself.
bool BusAnswers(const std::string& address, std::chrono::milliseconds patience);
