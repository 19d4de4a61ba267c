#pragma once

// The MIDI service: device lists, ports, sending and receiving. The operations keep the names
// and result codes of the classic multimedia MIDI API the keyboard was designed against, so the
// port code reads the same on every backend. Every call comes from the GUI thread; the service
// answers by posting events to the object that opened the port (see midi_events.h).

#include <cstdint>
#include <string>
#include <string_view>

class QObject;

using MMRESULT = std::uint32_t;
inline constexpr MMRESULT MMSYSERR_NOERROR = 0;
inline constexpr MMRESULT MMSYSERR_ERROR = 1;
inline constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
inline constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
inline constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
inline constexpr MMRESULT MMSYSERR_NODRIVER = 6;
inline constexpr MMRESULT MMSYSERR_NOMEM = 7;
inline constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
inline constexpr MMRESULT MIDIERR_UNPREPARED = 64;
inline constexpr MMRESULT MIDIERR_STILLPLAYING = 65;
inline constexpr MMRESULT MIDIERR_NOTREADY = 67;
inline constexpr MMRESULT MIDIERR_NODEVICE = 68;

// Output device -1: the program's own output port, which synthesizers and other programs
// connect to.
inline constexpr int MIDI_MAPPER = -1;
// What the window calls the mapper, in every language, as the multimedia API always has.
inline constexpr const char* kMidiMapperName = "Microsoft MIDI Mapper";

// Where a service lists the program's own port as a device of its own, the port's name followed
// by this: a caption, never the name a peer sees. The window shows it in its language.
inline constexpr std::string_view kOwnPortCaptionSuffix = " (for other programs)";

// Port handles; 0 is no port. A stale handle is refused with MMSYSERR_INVALHANDLE.
using HMIDIOUT = std::uint32_t;
using HMIDIIN = std::uint32_t;

inline constexpr std::uint32_t MHDR_DONE = 0x1;
inline constexpr std::uint32_t MHDR_PREPARED = 0x2;
inline constexpr std::uint32_t MHDR_INQUEUE = 0x4;

// A long message: a raw MIDI byte stream, as on a cable. The caller owns the header and the
// bytes; from a successful midiOutLongMsg until its MM_MOM_DONE the service reads them.
struct MIDIHDR {
    std::uint8_t* lpData = nullptr;
    std::uint32_t dwBufferLength = 0;
    std::uint32_t dwBytesRecorded = 0;
    std::uint32_t dwFlags = 0;
};

class MidiService {
public:
    virtual ~MidiService() = default;

    // Counting takes a fresh look at the system; names and opens refer to the last count.
    virtual int midiOutGetNumDevs() = 0;
    virtual MMRESULT midiOutGetDevCaps(int device, std::string& name) = 0;
    virtual MMRESULT midiOutOpen(HMIDIOUT& handle, int device, QObject* receiver) = 0;
    // Status in bits 0-7, first data byte in bits 8-15, second in bits 16-23.
    virtual MMRESULT midiOutShortMsg(HMIDIOUT handle, std::uint32_t message) = 0;
    virtual MMRESULT midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header) = 0;
    virtual MMRESULT midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header) = 0;
    virtual MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header) = 0;
    // Silences sounding notes and hands back every long message still queued.
    virtual MMRESULT midiOutReset(HMIDIOUT handle) = 0;
    virtual MMRESULT midiOutClose(HMIDIOUT handle) = 0;

    virtual int midiInGetNumDevs() = 0;
    virtual MMRESULT midiInGetDevCaps(int device, std::string& name) = 0;
    virtual MMRESULT midiInOpen(HMIDIIN& handle, int device, QObject* receiver) = 0;
    virtual MMRESULT midiInStart(HMIDIIN handle) = 0;
    virtual MMRESULT midiInStop(HMIDIIN handle) = 0;
    virtual MMRESULT midiInReset(HMIDIIN handle) = 0;
    virtual MMRESULT midiInClose(HMIDIIN handle) = 0;

    // Devices come and go while the program runs, and so may the MIDI system itself. The
    // watcher hears of every such change by an MM_DEVICES_CHANGED event, posted on the GUI
    // thread; it then counts the devices afresh and asks its ports how they are. Changes come
    // in bursts (a program registers several ports at once), so one event may stand for many.
    // nullptr stops the events. A service whose devices never change posts nothing.
    virtual void midiSetDeviceWatcher(QObject* watcher) { static_cast<void>(watcher); }
    // Whether a MIDI system (the ALSA sequencer or a JACK server) is there to talk to. Without
    // one every list is empty and nothing opens.
    virtual bool midiSystemRunning() { return true; }
    // How an open port is: MMSYSERR_NOERROR while it reaches its device (or, for the program's
    // own port, while it exists); MIDIERR_NODEVICE when its device has gone or refused the
    // connection; MIDIERR_NOTREADY while the connection is still being made; MMSYSERR_NODRIVER
    // once the MIDI system has gone; MMSYSERR_INVALHANDLE for no open port. A port that is not
    // well stays open until it is closed, but nothing it is sent arrives.
    virtual MMRESULT midiOutGetStatus(HMIDIOUT handle) {
        return handle != 0 ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
    }
    virtual MMRESULT midiInGetStatus(HMIDIIN handle) {
        return handle != 0 ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
    }
};
