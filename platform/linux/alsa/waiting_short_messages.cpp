#include "platform/linux/alsa/waiting_short_messages.h"

#include "formats/short_message.h"

namespace {

bool IsNote(std::uint8_t status) {
    return (status & 0xE0) == 0x80;
}

} // namespace

bool WaitingShortMessages::IsNoteOff(std::uint32_t message) {
    const ShortMessage unpacked = UnpackShortMessage(message);
    const std::uint8_t kind = unpacked.bytes[0] & 0xF0;
    return kind == 0x80 || (kind == 0x90 && (unpacked.bytes[2] & 0x7F) == 0);
}

bool WaitingShortMessages::Add(std::uint32_t message) {
    const ShortMessage unpacked = UnpackShortMessage(message);
    const bool noteOff = IsNoteOff(message);
    if (owedCount_ == 0 && queue_.size() < kCapacity) {
        queue_.push_back(message);
        return true;
    }
    if (!noteOff)
        return false;
    const std::size_t index = (unpacked.bytes[0] & 0x0F) * 128u + (unpacked.bytes[1] & 0x7Fu);
    const std::uint8_t velocity = (unpacked.bytes[0] & 0xF0) == 0x80 ? unpacked.bytes[2] & 0x7F : 0;
    if (owed_[index] == 0)
        ++owedCount_;
    owed_[index] = static_cast<std::uint8_t>(velocity + 1);
    return true;
}

void WaitingShortMessages::DropNotes() {
    std::erase_if(queue_, [](std::uint32_t message) { return IsNote(message & 0xFF); });
    owed_.fill(0);
    owedCount_ = 0;
}

void WaitingShortMessages::Clear() {
    queue_.clear();
    owed_.fill(0);
    owedCount_ = 0;
}

std::uint32_t WaitingShortMessages::OwedNoteOff(std::size_t index) const {
    return PackShortMessage(0x80 | static_cast<unsigned>(index / 128),
                            static_cast<unsigned>(index % 128), owed_[index] - 1u);
}
