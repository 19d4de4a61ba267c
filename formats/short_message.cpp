#include "formats/short_message.h"

#include <algorithm>

void SoundingNotes::Track(const std::uint8_t* bytes, std::size_t size) {
    if (size < 3)
        return;
    const std::uint8_t kind = bytes[0] & 0xF0;
    if (kind != 0x80 && kind != 0x90)
        return;
    std::uint8_t& count = counts_[(bytes[0] & 0x0Fu) * 128u + (bytes[1] & 0x7Fu)];
    if (kind == 0x90 && (bytes[2] & 0x7F) != 0) {
        if (count < 255)
            ++count;
    } else if (count > 0) {
        --count;
    }
}

std::size_t SoundingNotes::Count() const {
    return static_cast<std::size_t>(
        std::count_if(counts_.begin(), counts_.end(), [](std::uint8_t n) { return n > 0; }));
}

bool RecentlyEndedNotes::Track(const std::uint8_t* bytes, std::size_t size, std::uint64_t cycle) {
    if (size < 3)
        return false;
    const std::uint8_t kind = bytes[0] & 0xF0;
    if (kind != 0x80 && kind != 0x90)
        return false;
    sounding_.Track(bytes, size);
    if (kind == 0x90 && (bytes[2] & 0x7F) != 0)
        return false;
    endedAfter_[(bytes[0] & 0x0F) * 128u + (bytes[1] & 0x7Fu)] = cycle + 1;
    return true;
}
