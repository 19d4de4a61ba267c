#include "platform/linux/jack/jack_client.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <thread>

namespace {

std::string DescribeOpenFailure(jack_status_t status) {
    if (status & JackServerFailed)
        return "no JACK server is running";
    if (status & JackVersionError)
        return "the JACK server speaks another protocol version";
    if (status & JackInvalidOption)
        return "JACK refused the client name";
    if (status & JackShmFailure)
        return "JACK's shared memory is not accessible";
    return "JACK refused the client (status " + std::to_string(status) + ")";
}

void IgnoreJackMessage(const char*) {}

// May run on JACK's own threads: it only writes to standard error.
void PrintJackError(const char* message) {
    std::fprintf(stderr, "JACK: %s\n", message);
}

// What one caller asked of the clients' thread, and whether it ran. A caller that stops waiting
// leaves it to the thread, which holds a reference of its own until it has run it.
struct Job {
    std::function<void()> work;
    std::atomic<bool> done{false};
};

// The one thread that opens and closes the process's JACK clients. Callers on any thread push
// onto a lock-free list; the thread takes the whole list at once and runs it oldest first.
class ClientsThread {
public:
    static ClientsThread& Instance() {
        // Never destroyed: a close may still be running when the program ends.
        static ClientsThread* const instance = new ClientsThread;
        return *instance;
    }

    // Queues work; the returned job tells when it has run. Any thread.
    std::shared_ptr<Job> Ask(std::function<void()> work) {
        auto job = std::make_shared<Job>();
        job->work = std::move(work);
        auto* node = new Node{job, asked_.load()};
        while (!asked_.compare_exchange_weak(node->next, node)) {
        }
        signal_.fetch_add(1);
        signal_.notify_all();
        return job;
    }

    // Waits up to patience for job; any thread but the clients' own.
    static bool Wait(const Job& job, std::chrono::milliseconds patience) {
        const auto deadline = std::chrono::steady_clock::now() + patience;
        while (!job.done.load()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return true;
    }

    // The clients' thread only.
    int open = 0;
    std::atomic<bool> serverGone{false};

private:
    struct Node {
        std::shared_ptr<Job> job;
        Node* next; // the one asked for before it
    };

    ClientsThread() { std::thread(&ClientsThread::Serve, this).detach(); }

    // Runs on the clients' thread, for the life of the process. libjack allocates and waits
    // for the server here anyway; nothing real-time runs on it.
    void Serve() {
        for (;;) {
            const std::uint32_t signal = signal_.load();
            Node* list = asked_.exchange(nullptr);
            if (list == nullptr) {
                signal_.wait(signal);
                continue;
            }
            // Pushed newest first: turned round, oldest first.
            Node* oldestFirst = nullptr;
            while (list != nullptr) {
                Node* next = list->next;
                list->next = oldestFirst;
                oldestFirst = list;
                list = next;
            }
            while (oldestFirst != nullptr) {
                Node* next = oldestFirst->next;
                oldestFirst->job->work();
                oldestFirst->job->done.store(true);
                delete oldestFirst;
                oldestFirst = next;
            }
        }
    }

    std::atomic<Node*> asked_{nullptr};
    std::atomic<std::uint32_t> signal_{0};
};

// The longest a caller waits for an open; the thread may be busy closing a client of a server
// that does not answer.
constexpr std::chrono::milliseconds kOpenPatience{10000};

// Runs on the clients' thread.
jack_client_t* OpenOnClientsThread(const std::string& clientName, std::string& whyNot) {
    ClientsThread& thread = ClientsThread::Instance();
    if (thread.serverGone.load() && thread.open > 0) {
        whyNot = "a client of the JACK server that stopped is still closing";
        return nullptr;
    }
    thread.serverGone.store(false);
    jack_status_t status{};
    jack_set_error_function(IgnoreJackMessage);
    jack_set_info_function(IgnoreJackMessage);
    jack_client_t* client = jack_client_open(clientName.c_str(), JackNoStartServer, &status);
    jack_set_error_function(PrintJackError);
    if (client == nullptr)
        whyNot = DescribeOpenFailure(status);
    else
        ++thread.open;
    return client;
}

// Runs on the clients' thread.
void CloseOnClientsThread(jack_client_t* client) {
    jack_client_close(client);
    ClientsThread& thread = ClientsThread::Instance();
    if (--thread.open == 0)
        thread.serverGone.store(false); // libjack starts afresh with the next client
}

// A join asked of the clients' thread and the client it opened, or why not. The caller that
// stops waiting for it leaves the client to whoever closes it.
struct PendingJoin {
    std::string clientName;
    std::shared_ptr<std::pair<jack_client_t*, std::string>> answer;
    std::shared_ptr<Job> job;
};

PendingJoin AskToJoin(const std::string& clientName) {
    auto answer = std::make_shared<std::pair<jack_client_t*, std::string>>(nullptr, "");
    auto job = ClientsThread::Instance().Ask(
        [answer, clientName] { answer->first = OpenOnClientsThread(clientName, answer->second); });
    return PendingJoin{clientName, std::move(answer), std::move(job)};
}

// Closes what the join opens, after it has run; nobody takes that client any more.
void AbandonJoin(const PendingJoin& join) {
    ClientsThread::Instance().Ask([answer = join.answer] {
        if (answer->first != nullptr)
            CloseOnClientsThread(answer->first);
    });
}

jack_client_t* AwaitJoin(const PendingJoin& join, std::string& whyNot) {
    if (!ClientsThread::Wait(*join.job, kOpenPatience)) {
        AbandonJoin(join);
        whyNot = "the JACK server does not answer";
        return nullptr;
    }
    whyNot = join.answer->second;
    return join.answer->first;
}

// The join JoinJackServerAhead started, until a JoinJackServer of its name takes it.
std::atomic<PendingJoin*> joinAhead{nullptr};

} // namespace

void JoinJackServerAhead(const std::string& clientName) {
    std::unique_ptr<PendingJoin> replaced(
        joinAhead.exchange(new PendingJoin(AskToJoin(clientName))));
    if (replaced)
        AbandonJoin(*replaced);
}

void ForgetJackServerAhead() {
    const std::unique_ptr<PendingJoin> unused(joinAhead.exchange(nullptr));
    if (unused)
        AbandonJoin(*unused);
}

jack_client_t* JoinJackServer(const std::string& clientName, std::string& whyNot) {
    std::unique_ptr<PendingJoin> early(joinAhead.exchange(nullptr));
    if (early && early->clientName != clientName) {
        // Another client's join, such as a probe's: the early one stays for its taker.
        PendingJoin* none = nullptr;
        if (joinAhead.compare_exchange_strong(none, early.get()))
            early.release();
        else
            AbandonJoin(*early);
        early.reset();
    }
    return AwaitJoin(early ? *early : AskToJoin(clientName), whyNot);
}

void LeaveJackServer(jack_client_t* client) {
    ClientsThread::Instance().Ask([client] { CloseOnClientsThread(client); });
}

bool LeaveJackServerWithin(jack_client_t* client, std::chrono::milliseconds patience) {
    const auto job = ClientsThread::Instance().Ask([client] { CloseOnClientsThread(client); });
    return ClientsThread::Wait(*job, patience);
}

bool JackClientsSettledWithin(std::chrono::milliseconds patience) {
    // The clients thread takes its jobs in order: this one runs after every close asked before.
    const auto job = ClientsThread::Instance().Ask([] {});
    return ClientsThread::Wait(*job, patience);
}

// Runs on one of JACK's threads, or any other.
void NoteJackServerGone() {
    ClientsThread::Instance().serverGone.store(true);
}

bool RunWithJackClients(const std::function<void()>& work, bool opens) {
    bool refused = false;
    // Waited for however long it takes, as a direct call would be: work may use the caller's
    // own variables.
    const auto job = ClientsThread::Instance().Ask([&work, opens, &refused] {
        ClientsThread& thread = ClientsThread::Instance();
        if (opens && thread.serverGone.load() && thread.open > 0) {
            refused = true;
            return;
        }
        if (opens && thread.open == 0)
            thread.serverGone.store(false);
        work();
    });
    while (!ClientsThread::Wait(*job, kOpenPatience)) {
    }
    return !refused;
}

// Runs on the clients' thread, from RunWithJackClients.
void JackClientOpenedElsewhere() {
    ++ClientsThread::Instance().open;
}

// Runs on the clients' thread, from RunWithJackClients.
void JackClientClosedElsewhere() {
    ClientsThread& thread = ClientsThread::Instance();
    if (--thread.open == 0)
        thread.serverGone.store(false);
}

// Runs on the thread that looks for a MIDI system, or any other.
bool JackServerAnswers(const std::string& clientName) {
    std::string whyNot;
    jack_client_t* client = JoinJackServer(clientName, whyNot);
    if (client == nullptr)
        return false;
    LeaveJackServer(client);
    return true;
}
