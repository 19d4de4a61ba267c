#include "platform/linux/alsa/alsa_events.h"

#include "formats/midi_stream.h"
#include "formats/short_message.h"

bool EncodeShortMessage(const std::uint8_t* bytes, std::size_t size, snd_seq_event_t& event) {
    if (size == 0)
        return false;
    const std::uint8_t status = bytes[0];
    const int length = MidiDataLength(status);
    if (length < 0 || size < static_cast<std::size_t>(length) + 1)
        return false;
    const std::uint8_t first = length >= 1 ? bytes[1] & 0x7F : 0;
    const std::uint8_t second = length >= 2 ? bytes[2] & 0x7F : 0;
    const std::uint8_t channel = status & 0x0F;

    snd_seq_ev_clear(&event);
    switch (status & 0xF0) {
    case 0x80:
        snd_seq_ev_set_noteoff(&event, channel, first, second);
        return true;
    case 0x90:
        snd_seq_ev_set_noteon(&event, channel, first, second);
        return true;
    case 0xA0:
        snd_seq_ev_set_keypress(&event, channel, first, second);
        return true;
    case 0xB0:
        snd_seq_ev_set_controller(&event, channel, first, second);
        return true;
    case 0xC0:
        snd_seq_ev_set_pgmchange(&event, channel, first);
        return true;
    case 0xD0:
        snd_seq_ev_set_chanpress(&event, channel, first);
        return true;
    case 0xE0:
        snd_seq_ev_set_pitchbend(&event, channel, (first | second << 7) - 8192);
        return true;
    default:
        break;
    }

    snd_seq_ev_set_fixed(&event);
    switch (status) {
    case 0xF1:
        event.type = SND_SEQ_EVENT_QFRAME;
        event.data.control.value = first;
        return true;
    case 0xF2:
        event.type = SND_SEQ_EVENT_SONGPOS;
        event.data.control.value = first | second << 7;
        return true;
    case 0xF3:
        event.type = SND_SEQ_EVENT_SONGSEL;
        event.data.control.value = first;
        return true;
    case 0xF6:
        event.type = SND_SEQ_EVENT_TUNE_REQUEST;
        return true;
    case 0xF8:
        event.type = SND_SEQ_EVENT_CLOCK;
        return true;
    case 0xFA:
        event.type = SND_SEQ_EVENT_START;
        return true;
    case 0xFB:
        event.type = SND_SEQ_EVENT_CONTINUE;
        return true;
    case 0xFC:
        event.type = SND_SEQ_EVENT_STOP;
        return true;
    case 0xFE:
        event.type = SND_SEQ_EVENT_SENSING;
        return true;
    case 0xFF:
        event.type = SND_SEQ_EVENT_RESET;
        return true;
    default:
        return false;
    }
}

int DecodeEvent(const snd_seq_event_t& event, std::array<std::uint32_t, 4>& messages) {
    int count = 0;
    auto add = [&](std::uint32_t message) {
        messages[static_cast<std::size_t>(count++)] = message;
    };
    auto note = [&](unsigned kind) {
        const snd_seq_ev_note_t& n = event.data.note;
        if (n.channel < 16 && n.note < 128 && n.velocity < 128)
            add(PackShortMessage(kind | n.channel, n.note, n.velocity));
    };
    // Channel messages and system messages with one value below `limit`.
    const snd_seq_ev_ctrl_t& control = event.data.control;
    auto fits = [&](bool hasChannel, int low, int limit) {
        return (!hasChannel || control.channel < 16) && control.value >= low &&
               control.value < limit;
    };
    const unsigned value = static_cast<unsigned>(control.value);
    const unsigned channel = control.channel;

    switch (event.type) {
    case SND_SEQ_EVENT_NOTEON:
        note(0x90);
        break;
    case SND_SEQ_EVENT_NOTEOFF:
        note(0x80);
        break;
    case SND_SEQ_EVENT_KEYPRESS:
        note(0xA0);
        break;
    case SND_SEQ_EVENT_CONTROLLER:
        if (fits(true, 0, 128) && control.param < 128)
            add(PackShortMessage(0xB0 | channel, control.param, value));
        break;
    case SND_SEQ_EVENT_PGMCHANGE:
        if (fits(true, 0, 128))
            add(PackShortMessage(0xC0 | channel, value));
        break;
    case SND_SEQ_EVENT_CHANPRESS:
        if (fits(true, 0, 128))
            add(PackShortMessage(0xD0 | channel, value));
        break;
    case SND_SEQ_EVENT_PITCHBEND:
        if (fits(true, -8192, 8192)) {
            const unsigned bend = static_cast<unsigned>(control.value + 8192);
            add(PackShortMessage(0xE0 | channel, bend & 0x7F, bend >> 7));
        }
        break;
    case SND_SEQ_EVENT_CONTROL14:
        // Sequencer programs may send a 14-bit controller as one event; on a cable it is the
        // coarse controller followed by its fine partner 32 numbers up.
        if (fits(true, 0, 16384) && control.param < 128) {
            if (control.param < 32) {
                add(PackShortMessage(0xB0 | channel, control.param, value >> 7));
                add(PackShortMessage(0xB0 | channel, control.param + 32, value & 0x7F));
            } else {
                add(PackShortMessage(0xB0 | channel, control.param, value & 0x7F));
            }
        }
        break;
    case SND_SEQ_EVENT_NONREGPARAM:
    case SND_SEQ_EVENT_REGPARAM:
        if (fits(true, 0, 16384) && control.param < 16384) {
            const bool registered = event.type == SND_SEQ_EVENT_REGPARAM;
            add(PackShortMessage(0xB0 | channel, registered ? 101 : 99, control.param >> 7));
            add(PackShortMessage(0xB0 | channel, registered ? 100 : 98, control.param & 0x7F));
            add(PackShortMessage(0xB0 | channel, 6, value >> 7));
            add(PackShortMessage(0xB0 | channel, 38, value & 0x7F));
        }
        break;
    case SND_SEQ_EVENT_QFRAME:
        if (fits(false, 0, 128))
            add(PackShortMessage(0xF1, value));
        break;
    case SND_SEQ_EVENT_SONGPOS:
        if (fits(false, 0, 16384))
            add(PackShortMessage(0xF2, value & 0x7F, value >> 7));
        break;
    case SND_SEQ_EVENT_SONGSEL:
        if (fits(false, 0, 128))
            add(PackShortMessage(0xF3, value));
        break;
    case SND_SEQ_EVENT_TUNE_REQUEST:
        add(PackShortMessage(0xF6));
        break;
    case SND_SEQ_EVENT_CLOCK:
        add(PackShortMessage(0xF8));
        break;
    case SND_SEQ_EVENT_START:
        add(PackShortMessage(0xFA));
        break;
    case SND_SEQ_EVENT_CONTINUE:
        add(PackShortMessage(0xFB));
        break;
    case SND_SEQ_EVENT_STOP:
        add(PackShortMessage(0xFC));
        break;
    case SND_SEQ_EVENT_SENSING:
        add(PackShortMessage(0xFE));
        break;
    case SND_SEQ_EVENT_RESET:
        add(PackShortMessage(0xFF));
        break;
    default:
        break; // SysEx (no input buffers are ever given), sequencer housekeeping
    }
    return count;
}
