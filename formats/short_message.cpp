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

void RecentlyEndedNotes::Track(const std::uint8_t* bytes, std::size_t size, std::uint64_t cycle) {
    if (size < 3)
        return;
    const std::uint8_t kind = bytes[0] & 0xF0;
    if (kind != 0x80 && kind != 0x90)
        return;
    sounding_.Track(bytes, size);
    if (kind == 0x90 && (bytes[2] & 0x7F) != 0)
        return;
    const auto channel = static_cast<std::uint8_t>(bytes[0] & 0x0F);
    const auto note = static_cast<std::uint8_t>(bytes[1] & 0x7F);
    // A note that ends again is kept once, at its latest ending.
    for (Ended& ended : ended_)
        if (ended.used && ended.channel == channel && ended.note == note)
            ended.used = false;
    ended_[next_] = Ended{cycle, channel, note, true};
    next_ = (next_ + 1) % kCapacity;
}
