#pragma once

// TVMidiKeys: the keyboard with a MIDI output port and a MIDI input port attached. Played keys
// go out as note-on and note-off on the output channel; notes arriving on the input only light
// the keys.

#include "keyboard/vkeys.h"
#include "platform/midi_service.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class MidiInDataEvent;
class MidiOutDoneEvent;

using TMIDIInChannel = std::uint8_t;  // 0 = all channels, else 1..16
using TMIDIOutChannel = std::uint8_t; // 1..16

class TVMidiKeys : public TVKeys {
    Q_OBJECT
public:
    TVMidiKeys(QWidget* owner, MidiService& service);
    ~TVMidiKeys() override;

    int MIDIOutDevice() const { return FMIDIOutDevice; }
    void SetMIDIOutDevice(int Value);
    int MIDIInDevice() const { return FMIDIInDevice; }
    void SetMIDIInDevice(int Value);
    TMIDIInChannel MIDIInChannel() const { return FMIDIInChannel; }
    void SetMIDIInChannel(TMIDIInChannel value); // above 16 becomes 16
    TMIDIOutChannel MIDIOutChannel() const { return FMIDIOutChannel; }
    void SetMIDIOutChannel(TMIDIOutChannel value); // kept within 1..16
    const std::string& MIDIInPortName() const { return FMIDIInPortName; }
    void SetMIDIInPortName(const std::string&) {} // only the device setter names the port
    const std::string& MIDIOutPortName() const { return FMIDIOutPortName; }
    void SetMIDIOutPortName(const std::string&) {}
    bool MIDIInPortOk() const { return FMIDIInPortOk; }
    bool MIDIOutPortOk() const { return FMIDIOutPortOk; }
    // What device -1 is called, as the multimedia API has always called its default output.
    static constexpr const char* kMapperName = kMidiMapperName;
    // Writing true asks for the port; reading back tells whether it opened.
    bool MidiInEnabled() const { return FMidiInEnabled; }
    void SetMidiInEnabled(bool Value);
    bool MidiOutEnabled() const { return FMidiOutEnabled; }
    void SetMidiOutEnabled(bool Value);
    // How the open ports are, as the MIDI service tells (MMSYSERR_INVALHANDLE: none open).
    MMRESULT MidiOutStatus() const;
    MMRESULT MidiInStatus() const;
    // Shows released every key lit by an incoming note, as when its device has gone and its
    // note-offs will never come; the user's own notes stay.
    void ReleaseIncomingNotes();

    void NoteOn(int Note, int Velocity, bool Notify) override;
    void NoteOff(int Note, int Velocity, bool Notify) override;
    // All Sound Off and All Notes Off on every channel, then the note-offs of the notes the
    // user holds, and every key shown released.
    void Panic() override;
    void MidiNoteOn(QObject* Sender, int note, int velocity);
    void MidiNoteOff(QObject* Sender, int note, int velocity);

    // Played notes go out this many semitones (-24 to 24) from the key pressed; the key lit is
    // the one pressed, and incoming notes light where they are.
    int Transpose() const { return transpose_; }
    void SetTranspose(int semitones);
    // Hears of every output port that opens, to bring the device to the state the window shows;
    // may be unassigned.
    void SetOnOutputOpened(std::function<void()> handler) { onOutputOpened_ = std::move(handler); }
    // One short message, packed as the MIDI service takes it, to the open output; the service's
    // code, or MMSYSERR_INVALHANDLE when no output is open.
    MMRESULT SendShortMessage(std::uint32_t message);

    // Send the bytes of Data (one byte per character). The result is the service's code;
    // empty Data sends nothing and gives 0, a closed port sends nothing and gives
    // MMSYSERR_INVALHANDLE.
    MMRESULT SendShortMsg(const std::string& Data);
    MMRESULT SendLongMsg(const std::string& Data);

    // Long messages handed to the service and not yet completed.
    std::size_t LongMessagesInFlight() const { return inFlight_.size(); }

protected:
    bool event(QEvent* e) override;
    // Controller 64 on the output channel; lifted on the channel it went down on.
    void SustainChanged(bool down) override;
    void MMMimData(const MidiInDataEvent& message);
    void MMMomDone(const MidiOutDoneEvent& message);

private:
    struct LongMessage {
        MIDIHDR header;
        std::vector<std::uint8_t> buffer;
    };

    void CloseOutput();
    void CloseInput();
    void OpenOutput();
    void OpenInput(bool setPortOk);
    bool SendChannelMessage(std::uint8_t statusKind, std::uint8_t channel, int first, int second);

    MidiService& service_;
    int FMIDIOutDevice = MIDI_MAPPER;
    int FMIDIInDevice = -1;
    TMIDIInChannel FMIDIInChannel = 0;
    TMIDIOutChannel FMIDIOutChannel = 1;
    std::string FMIDIInPortName = "<no or invalid selection>";
    std::string FMIDIOutPortName = kMapperName;
    bool FMIDIOutPortOk = false;
    bool FMIDIInPortOk = false;
    HMIDIIN FMidiInHandle = 0;
    HMIDIOUT FMidiOutHandle = 0;
    bool FMidiInEnabled = false;
    bool FMidiOutEnabled = false;
    // Each long message belongs to the service from its send until its completion; the
    // control keeps ownership so that every one is freed exactly once, also when the
    // completion never comes because the control is destroyed first.
    std::map<MIDIHDR*, std::unique_ptr<LongMessage>> inFlight_;
    // For each played note not yet released, the output channels its note-on went out on
    // (bit 0 = channel 1), so that its note-off follows it there even after the channel
    // changed; 0 when it went out nowhere. Empty for a note that is not held.
    std::array<std::optional<std::uint16_t>, 128> heldOnChannels_;
    // For each played note not yet released, the note its note-on went out as: transposing
    // while a key is held does not leave the old note sounding.
    std::array<std::uint8_t, 128> sentAs_{};
    int transpose_ = 0;
    std::function<void()> onOutputOpened_;
    // The channel the sustain pedal went down on, 0 while it is up.
    std::uint8_t sustainChannel_ = 0;
};
