#pragma once

// The side of the JACK backend that JACK's own threads run: the process callback, which alone
// touches port buffers, and the notification callbacks (ports, clients and connections coming
// and going, xruns, graph changes, the server's shutdown). They meet the GUI thread only in
// the atomics and single-producer single-consumer rings below, and wake it through an eventfd.
// Nothing here allocates, locks or touches Qt once the client is active.

#include "platform/linux/jack/jack_cycle_history.h"
#include "platform/linux/jack/jack_port.h"
#include "platform/linux/jack/jack_ring.h"

#include <jack/jack.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace jack_midi {

struct CallbackGate;

// An incoming short message on its way to the GUI thread.
struct InRecord {
    std::uint32_t handle;
    std::uint32_t message;
};

// A long message that went out whole, on its way back to the GUI thread.
struct DoneRecord {
    std::uint32_t handle;
    std::uint32_t token;
};

class JackProcess {
public:
    JackProcess();
    // Closes the wake-up descriptor. The client must be closed, or Abandon called, before.
    ~JackProcess();
    JackProcess(const JackProcess&) = delete;
    JackProcess& operator=(const JackProcess&) = delete;

    // GUI thread, before the client is activated: hands JACK the notification callbacks. False
    // and a one-line reason when the rings or the wake-up descriptor cannot be had.
    bool Install(jack_client_t* client, std::string& whyNot);
    // GUI thread: a request for the requests thread that activates the client, in the server's
    // cycles (with the process callback) or only listening. A client in the cycles is woken
    // every cycle, a listening one only by what it is told, so the client cycles only while it
    // has ports. Switching takes the client out of the graph, which breaks its ports'
    // connections: only while none of its ports is registered. active says whether it is
    // active now. A refused activation sets activationRefused.
    std::function<void()> ActivationRequest(bool cycling, bool active) const;
    jack_client_t* Client() const { return client_; }
    // GUI thread, when the client cannot be closed because the server does not answer: the
    // callbacks that still come find nobody from now on. Waits a while for those under way,
    // then leaves the gate to JACK for the rest of the process.
    void Abandon();

    // What the GUI thread watches to be woken, and what it reads to take the wake-ups.
    int WakeDescriptor() const { return wakeFd_; }
    void TakeWakeUps();
    // Any thread: the GUI thread looks at the rings and the ports again soon.
    void Wake();

    // ---- Shared with the GUI thread ------------------------------------------------------
    // What the process callback sees. A slot is cleared, and the callback waited for, before
    // its port goes away.
    std::array<std::atomic<Port*>, kMaxPorts> portSlots;
    std::atomic<bool> inCycle{false};
    std::atomic<std::uint64_t> cycles{0};
    std::atomic<bool> serverGone{false};
    // Set on the requests thread when the server refuses to activate the client; shared with
    // the requests, which may outlive this object.
    const std::shared_ptr<std::atomic<bool>> activationRefused =
        std::make_shared<std::atomic<bool>>(false);
    // Graph changes the server confirmed.
    std::atomic<std::uint64_t> graphOrders{0};
    // Connections made or broken to any of our ports, as the notification thread heard of them.
    std::atomic<std::uint64_t> ourConnectionChanges{0};
    // A port registered, renamed, connected; a client came or went.
    std::atomic<bool> devicesChanged{false};
    // The largest event a port buffer takes, once any output port has run a cycle.
    std::atomic<std::size_t> maxEventSize{0};
    std::atomic<std::uint64_t> droppedIncoming{0};
    std::atomic<std::uint64_t> droppedOutgoing{0};
    std::atomic<std::uint64_t> xrunsReported{0};
    // Filled by the process callback, emptied by the GUI thread.
    Ring incoming;
    Ring done;

private:
    // ---- Runs on JACK's process thread ----------------------------------------------------
    int OnProcess(jack_nframes_t frames);
    void TakeNotices(std::uint64_t cycle);
    // True while the port holds back what it sends, after a graph change of its own.
    bool Held(Port& port, std::uint64_t cycle, std::uint32_t cycleStart);
    // Note-offs that ended in the repeated cycles go out again first.
    void SendQueued(Port& port, void* buffer, jack_nframes_t frames, std::uint64_t cycle,
                    std::uint32_t cycleStart,
                    const std::optional<JackCycleHistory::Cycles>& repeated);
    bool Receive(const Port& port, void* buffer);
    bool ReportHeldTokens();

    // ---- Runs on the requests thread ---------------------------------------------------------
    void ForgetEarlierXruns();

    // ---- Runs on JACK's notification thread -----------------------------------------------
    int OnXrun();
    int OnGraphOrder();
    void OnPortRegistration(jack_port_id_t port, int registered);
    void OnClientRegistration(const char* name, int registered);
    void OnPortRename(jack_port_id_t port, const char* oldName, const char* newName);
    void OnPortConnect(jack_port_id_t a, jack_port_id_t b, int connected);
    void NoteDevicesChanged();

    // ---- Runs on the thread JACK tells of its shutdown on ---------------------------------
    void OnShutdown();

    jack_client_t* client_ = nullptr;
    // Outlives this object when the client cannot be closed: see Abandon.
    std::unique_ptr<CallbackGate> gate_;
    int wakeFd_ = -1;
    // The first cycle that ran wholly after the latest graph change the server confirmed.
    std::atomic<std::uint64_t> graphOrderCycle_{0};
    // Filled by the notification thread, emptied by the process callback.
    Ring xrunReports_;    // jack_nframes_t: the frame the report was read at
    Ring connectNotices_; // ConnectNotice
    // Set before the client enters the cycles: reports heard while it was out of them are of
    // cycles it did not run, and would repeat note-offs of the cycles it runs next.
    std::atomic<bool> forgetXruns_{false};
    // Process callback only: tokens of long messages written this cycle. They are reported in
    // the next one, when every client downstream has read this cycle's buffers.
    static constexpr std::size_t kMaxHeldTokens = 256;
    std::array<DoneRecord, kMaxHeldTokens> heldTokens_{};
    std::size_t heldCount_ = 0;
    // Process callback only: its last cycles, to find the one an xrun report is about.
    JackCycleHistory history_;
};

} // namespace jack_midi
