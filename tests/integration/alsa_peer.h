#pragma once

// Another sequencer client on the far end of the program's ports: a synthesizer, a keyboard, a
// program that reads late. It turns events into bytes and back with alsa-lib's own MIDI coder,
// so the program's coding is checked against an independent one, and reads only when told to.

#include <alsa/asoundlib.h>

#include <cstdint>
#include <string>
#include <vector>

class AlsaPeer {
public:
    using Bytes = std::vector<std::uint8_t>;

    // A client of that name with one port, "io", that others can read from and write to.
    explicit AlsaPeer(const std::string& name);
    ~AlsaPeer();
    AlsaPeer(const AlsaPeer&) = delete;
    AlsaPeer& operator=(const AlsaPeer&) = delete;

    bool Ok() const { return seq_ != nullptr && port_ >= 0 && coder_ != nullptr; }
    // The name the program lists the port by.
    std::string DeviceName() const { return name_ + ":io"; }
    snd_seq_t* Sequencer() const { return seq_; }
    void Close();

    // Subscribes to the first readable port of the named client.
    bool ListenTo(const std::string& clientName);
    // Whether some other port is subscribed to this one: SND_SEQ_QUERY_SUBS_WRITE for ports
    // sending here, SND_SEQ_QUERY_SUBS_READ for ports reading from here.
    bool HasSubscribers(snd_seq_query_subs_type_t type);

    // Reads every event waiting; returns the MIDI events among them.
    std::size_t Drain();
    bool Send(snd_seq_event_t event);
    // Sends complete messages to the port's subscribers.
    bool Play(const Bytes& stream);

    Bytes received;
    bool overflowed = false; // the kernel emptied the queue because the peer read too late
    bool undecodable = false;

private:
    std::string name_;
    snd_seq_t* seq_ = nullptr;
    int port_ = -1;
    snd_midi_event_t* coder_ = nullptr;
    Bytes scratch_ = Bytes(70000); // room for any single event, oversized ones included
};
