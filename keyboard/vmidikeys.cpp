#include "keyboard/vmidikeys.h"

#include "formats/short_message.h"
#include "platform/midi_events.h"

#include <algorithm>

TVMidiKeys::TVMidiKeys(QWidget* owner, MidiService& service) : TVKeys(owner), service_(service) {
    SetOnNoteOn({});
    SetOnNoteOff({});
}

TVMidiKeys::~TVMidiKeys() {
    CloseInput();
    CloseOutput();
    // The reset above handed back every queued long message, but its completions were posted
    // to this control and die with it: free what they would have freed.
    inFlight_.clear();
}

void TVMidiKeys::CloseOutput() {
    if (FMidiOutHandle == 0)
        return;
    service_.midiOutReset(FMidiOutHandle);
    service_.midiOutClose(FMidiOutHandle);
    FMidiOutHandle = 0;
    // The reset silenced every held note; the next port never heard their note-ons.
    for (std::optional<std::uint16_t>& channels : heldOnChannels_)
        if (channels)
            *channels = 0;
}

void TVMidiKeys::CloseInput() {
    if (FMidiInHandle == 0)
        return;
    service_.midiInReset(FMidiInHandle);
    service_.midiInStop(FMidiInHandle);
    service_.midiInClose(FMidiInHandle);
    FMidiInHandle = 0;
}

void TVMidiKeys::OpenOutput() {
    HMIDIOUT handle = 0;
    if (service_.midiOutOpen(handle, FMIDIOutDevice, this) == MMSYSERR_NOERROR) {
        FMidiOutHandle = handle;
        FMIDIOutPortOk = true;
        FMidiOutEnabled = true;
        if (onOutputOpened_)
            onOutputOpened_();
    }
}

void TVMidiKeys::OpenInput(bool setPortOk) {
    HMIDIIN handle = 0;
    if (service_.midiInOpen(handle, FMIDIInDevice, this) != MMSYSERR_NOERROR)
        return;
    // Opened but not started: the handle is kept so the next close releases it.
    FMidiInHandle = handle;
    if (service_.midiInStart(handle) != MMSYSERR_NOERROR)
        return;
    FMidiInEnabled = true;
    if (setPortOk)
        FMIDIInPortOk = true;
}

void TVMidiKeys::SetMIDIOutDevice(int Value) {
    if (Value == FMIDIOutDevice)
        return;
    CloseOutput();
    FMIDIOutDevice = Value;
    if (Value < service_.midiOutGetNumDevs()) {
        FMIDIOutPortOk = false;
        std::string name;
        service_.midiOutGetDevCaps(Value, name);
        FMIDIOutPortName = name;
        if (FMidiOutEnabled) {
            FMidiOutEnabled = false;
            OpenOutput();
        }
    } else {
        FMIDIOutPortName.clear();
        // No device behind the index: nothing may be sent to the port just closed.
        FMIDIOutPortOk = false;
        FMidiOutEnabled = false;
    }
}

void TVMidiKeys::SetMidiOutEnabled(bool Value) {
    if (Value == FMidiOutEnabled)
        return;
    CloseOutput();
    FMIDIOutPortOk = false;
    FMidiOutEnabled = false;
    if (Value && FMIDIOutDevice < service_.midiOutGetNumDevs())
        OpenOutput();
}

MMRESULT TVMidiKeys::MidiOutStatus() const {
    return FMidiOutHandle != 0 ? service_.midiOutGetStatus(FMidiOutHandle) : MMSYSERR_INVALHANDLE;
}

MMRESULT TVMidiKeys::MidiInStatus() const {
    return FMidiInHandle != 0 ? service_.midiInGetStatus(FMidiInHandle) : MMSYSERR_INVALHANDLE;
}

void TVMidiKeys::ReleaseIncomingNotes() {
    for (int note = 0; note < 128; ++note)
        if (IsPressed(note) && !heldOnChannels_[static_cast<std::size_t>(note)])
            NoteOff(note, 0, false);
}

void TVMidiKeys::SetMIDIInDevice(int Value) {
    if (Value == FMIDIInDevice)
        return;
    CloseInput();
    FMIDIInDevice = Value;
    if (Value < service_.midiInGetNumDevs()) {
        std::string name;
        service_.midiInGetDevCaps(Value, name);
        FMIDIInPortName = name;
        if (FMidiInEnabled) {
            FMidiInEnabled = false;
            OpenInput(false);
        }
    } else {
        FMIDIInPortName.clear();
        // The port just closed is not open any more, so a later request must try again.
        FMidiInEnabled = false;
    }
}

void TVMidiKeys::SetMidiInEnabled(bool Value) {
    if (Value == FMidiInEnabled)
        return;
    CloseInput();
    FMIDIInPortOk = false;
    FMidiInEnabled = false;
    if (Value && FMIDIInDevice < service_.midiInGetNumDevs())
        OpenInput(true);
}

void TVMidiKeys::SetMIDIInChannel(TMIDIInChannel value) {
    FMIDIInChannel = std::min<TMIDIInChannel>(value, 16);
}

void TVMidiKeys::SetMIDIOutChannel(TMIDIOutChannel value) {
    FMIDIOutChannel = std::clamp<TMIDIOutChannel>(value, 1, 16);
}

// The message goes out before the key is drawn and the window told: a note written to the port
// after the cycle began waits a whole cycle, so every moment spent first is latency.
void TVMidiKeys::NoteOn(int Note, int Velocity, bool Notify) {
    if (Notify)
        MidiNoteOn(this, Note, Velocity);
    TVKeys::NoteOn(Note, Velocity, Notify);
}

void TVMidiKeys::NoteOff(int Note, int Velocity, bool Notify) {
    if (Notify)
        MidiNoteOff(this, Note, 0);
    TVKeys::NoteOff(Note, Velocity, Notify);
}

bool TVMidiKeys::SendChannelMessage(std::uint8_t statusKind, std::uint8_t channel, int first,
                                    int second) {
    if (!FMIDIOutPortOk)
        return false;
    const std::uint32_t message =
        PackShortMessage(statusKind + channel - 1u, static_cast<std::uint32_t>(first) & 0xFF,
                         static_cast<std::uint32_t>(second) & 0xFF);
    return service_.midiOutShortMsg(FMidiOutHandle, message) == MMSYSERR_NOERROR;
}

void TVMidiKeys::SustainChanged(bool down) {
    constexpr int kSustainPedal = 64;
    if (down) {
        sustainChannel_ = FMIDIOutChannel;
        SendChannelMessage(0xB0, sustainChannel_, kSustainPedal, 127);
        return;
    }
    SendChannelMessage(0xB0, sustainChannel_ != 0 ? sustainChannel_ : FMIDIOutChannel,
                       kSustainPedal, 0);
    sustainChannel_ = 0;
}

void TVMidiKeys::Panic() {
    constexpr int kAllSoundOff = 120;
    constexpr int kAllNotesOff = 123;
    // Silence first, on every channel: notes may sound that this control never sent.
    for (std::uint8_t channel = 1; channel <= 16; ++channel) {
        SendChannelMessage(0xB0, channel, kAllSoundOff, 0);
        SendChannelMessage(0xB0, channel, kAllNotesOff, 0);
    }
    TVKeys::Panic();
}

void TVMidiKeys::SetTranspose(int semitones) {
    transpose_ = std::clamp(semitones, -24, 24);
}

void TVMidiKeys::MidiNoteOn(QObject* /*Sender*/, int note, int velocity) {
    // A note outside 0..127 has no message: its number does not fit a data byte. A key whose
    // transposed note falls outside plays nothing.
    const int sent = note + transpose_;
    if (note < 0 || note > 127 || sent < 0 || sent > 127)
        return;
    const bool went = SendChannelMessage(0x90, FMIDIOutChannel, sent, velocity);
    std::optional<std::uint16_t>& channels = heldOnChannels_[static_cast<std::size_t>(note)];
    if (!channels)
        sentAs_[static_cast<std::size_t>(note)] = static_cast<std::uint8_t>(sent);
    channels = static_cast<std::uint16_t>(channels.value_or(0) |
                                          (went ? 1u << (FMIDIOutChannel - 1) : 0u));
}

void TVMidiKeys::MidiNoteOff(QObject* /*Sender*/, int note, int velocity) {
    if (note < 0 || note > 127)
        return;
    if (!heldOnChannels_[static_cast<std::size_t>(note)]) {
        // Not held: a repeated note-off, sent where notes go now.
        if (const int sent = note + transpose_; sent >= 0 && sent <= 127)
            SendChannelMessage(0x80, FMIDIOutChannel, sent, velocity);
        return;
    }
    std::optional<std::uint16_t>& channels = heldOnChannels_[static_cast<std::size_t>(note)];
    for (std::uint8_t channel = 1; channel <= 16; ++channel)
        if (*channels & (1u << (channel - 1)))
            SendChannelMessage(0x80, channel, sentAs_[static_cast<std::size_t>(note)], velocity);
    channels.reset();
}

MMRESULT TVMidiKeys::SendShortMessage(std::uint32_t message) {
    if (!FMIDIOutPortOk)
        return MMSYSERR_INVALHANDLE;
    return service_.midiOutShortMsg(FMidiOutHandle, message);
}

MMRESULT TVMidiKeys::SendShortMsg(const std::string& Data) {
    if (Data.empty())
        return MMSYSERR_NOERROR;
    if (!FMIDIOutPortOk)
        return MMSYSERR_INVALHANDLE;
    std::uint32_t message = 0;
    for (std::size_t i = 0; i < std::min<std::size_t>(Data.size(), 3); ++i)
        message |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(Data[i])) << (8 * i);
    return SendShortMessage(message);
}

MMRESULT TVMidiKeys::SendLongMsg(const std::string& Data) {
    if (Data.empty())
        return MMSYSERR_NOERROR;
    if (!FMIDIOutPortOk)
        return MMSYSERR_INVALHANDLE;
    if (Data.size() > UINT32_MAX)
        return MMSYSERR_INVALPARAM;
    auto message = std::make_unique<LongMessage>();
    message->buffer.assign(Data.begin(), Data.end());
    message->header.lpData = message->buffer.data();
    message->header.dwBufferLength = static_cast<std::uint32_t>(Data.size());
    message->header.dwBytesRecorded = message->header.dwBufferLength;
    MIDIHDR* header = &message->header;

    MMRESULT result = service_.midiOutPrepareHeader(FMidiOutHandle, header);
    if (result != MMSYSERR_NOERROR)
        return result;
    result = service_.midiOutLongMsg(FMidiOutHandle, header);
    if (result != MMSYSERR_NOERROR) {
        service_.midiOutUnprepareHeader(FMidiOutHandle, header);
        return result;
    }
    inFlight_.emplace(header, std::move(message));
    return MMSYSERR_NOERROR;
}

bool TVMidiKeys::event(QEvent* e) {
    if (e->type() == MM_MIM_DATA) {
        MMMimData(static_cast<const MidiInDataEvent&>(*e));
        return true;
    }
    if (e->type() == MM_MOM_DONE) {
        MMMomDone(static_cast<const MidiOutDoneEvent&>(*e));
        return true;
    }
    return TVKeys::event(e);
}

void TVMidiKeys::MMMomDone(const MidiOutDoneEvent& message) {
    MIDIHDR* header = message.Header();
    const auto owned = inFlight_.find(header);
    // Only headers this control sent and has not freed yet.
    if (header == nullptr || owned == inFlight_.end())
        return;
    // After a device change the new port refuses the header; it is freed all the same.
    service_.midiOutUnprepareHeader(FMidiOutHandle, header);
    inFlight_.erase(owned);
}

void TVMidiKeys::MMMimData(const MidiInDataEvent& message) {
    const std::uint32_t packed = message.Message();
    const std::uint8_t status = packed & 0xFF;
    const int note = static_cast<int>((packed >> 8) & 0xFF);
    const int velocity = static_cast<int>((packed >> 16) & 0x7F);
    const std::uint8_t kind = status & 0xF0;
    if (kind != 0x90 && kind != 0x80)
        return;
    if (FMIDIInChannel != 0 && (status & 0x0F) != FMIDIInChannel - 1)
        return;
    if (kind == 0x90 && velocity != 0)
        NoteOn(note, velocity, false);
    else
        NoteOff(note, kind == 0x90 ? 0 : velocity, false);
}
