// libFuzzer target: the splitter must take any bytes without faults, and what it gives back
// must be well formed.
#include "formats/midi_stream.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const MidiStreamSplit split = SplitMidiStream(data, size);
    for (const MidiMessage& message : split.messages) {
        if (message.empty())
            std::abort();
        const std::uint8_t status = message.front();
        if (status == 0xF0 ? message.back() != 0xF7
                           : static_cast<int>(message.size()) != MidiDataLength(status) + 1)
            std::abort();
    }
    return 0;
}
