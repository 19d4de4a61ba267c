#include "formats/midi_stream.h"

int MidiDataLength(std::uint8_t status) {
    if (status < 0x80)
        return -1;
    if (status < 0xF0) {
        const std::uint8_t kind = status & 0xF0;
        return kind == 0xC0 || kind == 0xD0 ? 1 : 2;
    }
    switch (status) {
    case 0xF1: // time code quarter frame
    case 0xF3: // song select
        return 1;
    case 0xF2: // song position
        return 2;
    case 0xF6: // tune request
        return 0;
    default:
        break;
    }
    if (status >= 0xF8 && status != 0xF9 && status != 0xFD)
        return 0; // real-time
    return -1;
}

MidiStreamSplit SplitMidiStream(const std::uint8_t* data, std::size_t size) {
    MidiStreamSplit split;
    if (data == nullptr)
        return split;

    MidiMessage pending;    // the message being collected, status first
    std::size_t wanted = 0; // data bytes it still needs (short messages)
    bool inSysEx = false;
    std::uint8_t runningStatus = 0; // 0: none

    auto fail = [&split](MidiStreamProblem problem) {
        if (split.complete)
            split.problem = problem;
        split.complete = false;
    };
    auto dropPending = [&] {
        if (!pending.empty())
            fail(inSysEx ? MidiStreamProblem::SysExWithoutEnd : MidiStreamProblem::CutShort);
        pending.clear();
        inSysEx = false;
        wanted = 0;
    };

    for (std::size_t i = 0; i < size; ++i) {
        const std::uint8_t byte = data[i];

        if (byte >= 0xF8) {
            // Real-time bytes may come anywhere and change nothing around them.
            if (MidiDataLength(byte) == 0)
                split.messages.push_back({byte});
            else
                fail(MidiStreamProblem::UndefinedStatus);
            continue;
        }

        if (inSysEx) {
            if (byte < 0x80) {
                pending.push_back(byte);
                continue;
            }
            if (byte == 0xF7) {
                pending.push_back(byte);
                split.messages.push_back(std::move(pending));
                pending.clear();
                inSysEx = false;
                continue;
            }
            // Any other status byte ends the SysEx without its end byte: it is incomplete.
            dropPending();
        }

        if (byte == 0xF0) {
            dropPending();
            runningStatus = 0;
            pending.push_back(byte);
            inSysEx = true;
            continue;
        }

        if (byte >= 0x80) {
            dropPending();
            const int length = MidiDataLength(byte);
            if (byte >= 0xF0)
                runningStatus = 0; // system common messages cancel running status
            if (length < 0) {
                fail(MidiStreamProblem::UndefinedStatus);
                continue;
            }
            if (byte < 0xF0)
                runningStatus = byte;
            if (length == 0) {
                split.messages.push_back({byte});
                continue;
            }
            pending.push_back(byte);
            wanted = static_cast<std::size_t>(length);
            continue;
        }

        // A data byte.
        if (pending.empty()) {
            if (runningStatus == 0) {
                fail(MidiStreamProblem::DataWithoutStatus);
                continue;
            }
            pending.push_back(runningStatus);
            wanted = static_cast<std::size_t>(MidiDataLength(runningStatus));
        }
        pending.push_back(byte);
        if (--wanted == 0) {
            split.messages.push_back(std::move(pending));
            pending.clear();
        }
    }

    dropPending();
    return split;
}
