#pragma once

// The ALSA tests' stand-in for another program on the sequencer.

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

// Another sequencer client on the far end of our ports: a synthesizer, a keyboard, a program
// that reads late. It turns events into bytes and back with alsa-lib's own MIDI coder, so the
// service's coding is checked against an independent one, and reads only when told to.
class AlsaPeer {
public:
    explicit AlsaPeer(const std::string& name) : name_(name) {
        if (snd_seq_open(&seq_, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0)
            return;
        snd_seq_set_client_name(seq_, name.c_str());
        port_ = snd_seq_create_simple_port(seq_, "io",
                                           SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ |
                                               SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                           SND_SEQ_PORT_TYPE_MIDI_GENERIC |
                                               SND_SEQ_PORT_TYPE_APPLICATION);
        snd_midi_event_new(256, &coder_);
        snd_midi_event_no_status(coder_, 1);
    }
    ~AlsaPeer() { Close(); }

    bool Ok() const { return seq_ != nullptr && port_ >= 0 && coder_ != nullptr; }
    std::string DeviceName() const { return name_ + ":io"; }
    snd_seq_t* Sequencer() const { return seq_; }
    void Close() {
        if (coder_ != nullptr)
            snd_midi_event_free(coder_);
        if (seq_ != nullptr)
            snd_seq_close(seq_);
        coder_ = nullptr;
        seq_ = nullptr;
    }

    // Subscribes to the first readable port of the named client.
    bool ListenTo(const std::string& clientName) {
        snd_seq_addr_t source;
        return snd_seq_parse_address(seq_, &source, clientName.c_str()) >= 0 &&
               snd_seq_connect_from(seq_, port_, source.client, source.port) >= 0;
    }

    // Whether some other port is subscribed to this one: SND_SEQ_QUERY_SUBS_WRITE for ports
    // sending here, SND_SEQ_QUERY_SUBS_READ for ports reading from here.
    bool HasSubscribers(snd_seq_query_subs_type_t type) {
        if (!Ok())
            return false;
        snd_seq_query_subscribe_t* query = nullptr;
        snd_seq_query_subscribe_alloca(&query);
        const snd_seq_addr_t self{static_cast<unsigned char>(snd_seq_client_id(seq_)),
                                  static_cast<unsigned char>(port_)};
        snd_seq_query_subscribe_set_root(query, &self);
        snd_seq_query_subscribe_set_type(query, type);
        snd_seq_query_subscribe_set_index(query, 0);
        return snd_seq_query_port_subscribers(seq_, query) >= 0;
    }

    // Reads every event waiting; returns the MIDI events among them.
    std::size_t Drain() {
        std::size_t count = 0;
        snd_seq_event_t* event = nullptr;
        for (int result;
             seq_ != nullptr && (result = snd_seq_event_input(seq_, &event)) != -EAGAIN;) {
            overflowed |= result == -ENOSPC;
            if (result < 0 && result != -ENOSPC)
                break;
            // Notices about clients, ports and subscriptions are no MIDI.
            if (result < 0 || (event->type >= SND_SEQ_EVENT_CLIENT_START &&
                               event->type <= SND_SEQ_EVENT_PORT_UNSUBSCRIBED))
                continue;
            ++count;
            const long size = snd_midi_event_decode(coder_, scratch_.data(),
                                                    static_cast<long>(scratch_.size()), event);
            undecodable |= size < 0;
            received.insert(received.end(), scratch_.begin(),
                            scratch_.begin() + std::max(size, 0L));
        }
        return count;
    }

    bool Send(snd_seq_event_t event) {
        snd_seq_ev_set_source(&event, port_);
        snd_seq_ev_set_subs(&event);
        snd_seq_ev_set_direct(&event);
        return snd_seq_event_output_direct(seq_, &event) >= 0;
    }

    // Sends complete messages to the port's subscribers.
    bool Play(const std::vector<std::uint8_t>& stream) {
        for (std::size_t at = 0; at < stream.size();) {
            snd_seq_event_t event;
            snd_seq_ev_clear(&event);
            const long used = snd_midi_event_encode(coder_, stream.data() + at,
                                                    static_cast<long>(stream.size() - at), &event);
            if (used <= 0)
                return false;
            at += static_cast<std::size_t>(used);
            if (event.type != SND_SEQ_EVENT_NONE && !Send(event))
                return false;
        }
        return true;
    }

    std::vector<std::uint8_t> received;
    bool overflowed = false; // the kernel emptied the queue because the peer read too late
    bool undecodable = false;

private:
    std::string name_;
    snd_seq_t* seq_ = nullptr;
    int port_ = -1;
    snd_midi_event_t* coder_ = nullptr;
    std::vector<std::uint8_t> scratch_ =
        std::vector<std::uint8_t>(70000); // room for any single event, oversized ones included
};
