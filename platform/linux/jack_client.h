#pragma once

// Joining a JACK server the same way everywhere: never starting one, and saying in one line why
// not, where libjack would complain in several.

#include <jack/jack.h>

#include <string>

// Returns nullptr and the reason in whyNot when no server takes the client. Once joined,
// libjack's errors go to standard error again.
jack_client_t* JoinJackServer(const std::string& clientName, std::string& whyNot);

// Whether a JACK server takes a client now: joins as clientName and leaves at once, quietly.
// Safe on any thread; it waits for the server's answer (tens of milliseconds when one runs).
bool JackServerAnswers(const std::string& clientName);
