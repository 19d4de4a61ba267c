#include "platform/linux/jack_client.h"

#include <cstdio>

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

} // namespace

jack_client_t* JoinJackServer(const std::string& clientName, std::string& whyNot) {
    jack_status_t status{};
    jack_set_error_function(IgnoreJackMessage);
    jack_set_info_function(IgnoreJackMessage);
    jack_client_t* client = jack_client_open(clientName.c_str(), JackNoStartServer, &status);
    jack_set_error_function(PrintJackError);
    if (client == nullptr)
        whyNot = DescribeOpenFailure(status);
    return client;
}

// Runs on the thread that looks for a MIDI system, or any other.
bool JackServerAnswers(const std::string& clientName) {
    std::string whyNot;
    jack_client_t* client = JoinJackServer(clientName, whyNot);
    if (client == nullptr)
        return false;
    jack_client_close(client);
    return true;
}
