#pragma once

// Short messages that cannot go out yet, because a SysEx is partway out on the same port (a
// note in the middle of it would cut it) or because the receiver's queue was full, kept in the
// order they were sent.
//
// The queue is bounded, so a stalled port cannot eat memory: 4096 messages, 16 KiB, which two
// hands do not fill while a long dump goes out to a hardware port (64 KiB take 23 s there).
// Past the bound a note-off is still never lost: it is owed, one per channel and note, and goes
// out after the queue. Anything else is refused then, and so is everything but a note-off while
// note-offs are owed: a message let in after an owed note-off would overtake it, and a note-on
// could then be cut by the note-off meant for the one before it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>

class WaitingShortMessages {
public:
    static constexpr std::size_t kCapacity = 4096;

    // Takes a packed short message (see short_message.h) to send later; false when it is
    // refused because the queue is full.
    bool Add(std::uint32_t message);

    // A note-off, or a note-on with velocity 0.
    static bool IsNoteOff(std::uint32_t message);

    bool Empty() const { return queue_.empty() && owedCount_ == 0; }

    // Calls send(message) with each message in order, then with the owed note-offs, lowest
    // channel and note first, and forgets every one it sent. Stops at the first that send
    // returns false for, which stays first.
    template <typename Send> void SendEach(Send&& send) {
        while (!queue_.empty()) {
            if (!send(queue_.front()))
                return;
            queue_.pop_front();
        }
        for (std::size_t index = 0; owedCount_ > 0 && index < owed_.size(); ++index) {
            if (owed_[index] == 0)
                continue;
            if (!send(OwedNoteOff(index)))
                return;
            owed_[index] = 0;
            --owedCount_;
        }
    }

    // Forgets every note-on and note-off and keeps the rest (controllers, programs): at a reset
    // the service silences whatever sounds, so a waiting note would only be cut at once.
    void DropNotes();

    void Clear();

private:
    std::uint32_t OwedNoteOff(std::size_t index) const;

    std::deque<std::uint32_t> queue_;
    // Per channel and note: 0, or the owed note-off's velocity plus one.
    std::array<std::uint8_t, 16 * 128> owed_{};
    std::size_t owedCount_ = 0;
};
