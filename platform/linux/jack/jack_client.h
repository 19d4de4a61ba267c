#pragma once

// Joining and leaving a JACK server the same way everywhere: never starting one, saying in one
// line why not where libjack would complain in several, and one client at a time.
//
// Every JACK client of this process opens and closes on one thread of its own, in the order
// asked. libjack keeps one table of the process's clients: a client opened after the server
// stopped, while one of the old server's clients is still open, makes libjack free every client
// in that table, under the feet of whoever closes them later. So no client opens while a client
// of a stopped server is still open; the open fails instead, and the caller tries again later.

#include <jack/jack.h>

#include <chrono>
#include <functional>
#include <string>

// Returns nullptr and the reason in whyNot when no server takes the client. Once joined,
// libjack's errors go to standard error again. Any thread; it waits for the open to run.
jack_client_t* JoinJackServer(const std::string& clientName, std::string& whyNot);

// Starts joining the server as clientName and returns at once, so that the join (tens of
// milliseconds) runs while the caller does other work: the next JoinJackServer with that name
// takes this client, waiting only for the rest of its join, instead of opening another.
// ForgetJackServerAhead closes it when nobody has taken it. Any thread.
void JoinJackServerAhead(const std::string& clientName);
void ForgetJackServerAhead();

// Closes a client joined with JoinJackServer behind every open and close asked for before.
// Returns at once; the client must not be used any more. Any thread.
void LeaveJackServer(jack_client_t* client);

// The same, waiting up to patience for the close; false when the server did not answer in time
// (the close still runs whenever it does).
bool LeaveJackServerWithin(jack_client_t* client, std::chrono::milliseconds patience);
// Whether every open and close asked of the clients thread so far is done within patience:
// after a LeaveJackServer, that its client calls nobody back any more.
bool JackClientsSettledWithin(std::chrono::milliseconds patience);

// Says that the server of this process's clients stopped: no client opens until every client
// open now has been closed. Safe on JACK's own threads: it only sets a flag.
void NoteJackServerGone();

// Runs work on the clients' thread, between the opens and closes asked for before and after, and
// waits for it however long it takes; for a library that opens or closes a JACK client of its
// own. opens says whether
// work opens one: then it is refused (false) while a stopped server's client is still open.
// Call JackClientOpenedElsewhere or JackClientClosedElsewhere from work to keep the count right.
bool RunWithJackClients(const std::function<void()>& work, bool opens);
void JackClientOpenedElsewhere();
void JackClientClosedElsewhere();

// Whether a JACK server takes a client now: joins as clientName and leaves at once, quietly.
// Any thread; it waits for the server's answer (tens of milliseconds when one runs).
bool JackServerAnswers(const std::string& clientName);
