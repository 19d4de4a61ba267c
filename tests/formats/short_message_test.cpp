#include "formats/short_message.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(ShortMessage, UnpacksWhatTheWireCarries) {
    struct Case {
        std::uint32_t packed;
        std::size_t size;
        bool dataValid;
    };
    for (const Case& c :
         std::vector<Case>{{0x7F3C90, 3, true},   // note-on
                           {0x0005C3, 2, true},   // program change: the second byte is not sent
                           {0x00F8, 1, true},     // clock
                           {0x00F6, 1, true},     // tune request
                           {0x803C90, 3, false},  // velocity with its top bit set
                           {0x3C, 0, false},      // no status byte
                           {0xF0, 0, false},      // SysEx is no short message
                           {0x0000F9, 0, false}}) // undefined
    {
        const ShortMessage message = UnpackShortMessage(c.packed);
        EXPECT_EQ(message.size, c.size) << std::hex << c.packed;
        EXPECT_EQ(message.dataValid, c.dataValid) << std::hex << c.packed;
        EXPECT_EQ(message.bytes[0], c.packed & 0xFF);
        EXPECT_EQ(PackShortMessage(message.bytes[0], message.bytes[1], message.bytes[2]), c.packed);
    }
}

TEST(ShortMessage, WalksAPeersBytesIntoWholeMessages) {
    struct Case {
        std::vector<std::uint8_t> bytes;
        std::vector<std::uint32_t> messages;
    };
    for (const Case& c :
         std::vector<Case>{
             {{0x90, 0x3C, 0x7F, 0x40, 0x00}, {0x7F3C90, 0x004090}}, // running status
             {{0xC0, 0x05, 0x06}, {0x05C0, 0x06C0}},
             {{0x90, 0x3C, 0xF8, 0x7F}, {0xF8, 0x7F3C90}}, // clock inside a message
             {{0xF0, 0x7E, 0x90, 0x3C, 0x7F, 0xF7}, {0x7F3C90}},
             {{0xF0, 0x7E, 0x3C, 0x7F, 0xF7, 0x3C}, {}},   // data after SysEx has no status
             {{0xF2, 0x01, 0x02, 0x03, 0x04}, {0x0201F2}}, // system messages do not repeat
             {{0x90, 0x3C}, {}},                           // cut short
             {{0xF9, 0xFD, 0xF4, 0xFE}, {0xFE}}})          // undefined bytes skipped
    {
        std::vector<std::uint32_t> got;
        ForEachShortMessage(c.bytes.data(), c.bytes.size(),
                            [&got](std::uint32_t message) { got.push_back(message); });
        EXPECT_EQ(got, c.messages);
    }
}

TEST(ShortMessage, SoundingNotesAreSilencedOnceEach) {
    SoundingNotes notes;
    const std::uint8_t messages[][3] = {
        {0x90, 60, 100}, {0x90, 60, 100}, {0x80, 60, 0}, // one of two still sounds
        {0x95, 61, 1},   {0x95, 61, 0},                  // velocity 0 ends it
        {0x9F, 127, 64}, {0x8F, 5, 0},                   // a stray note-off is ignored
        {0xB0, 60, 127}, {0x90, 62, 90}};
    for (const auto& message : messages)
        notes.Track(message, 3);
    notes.Track(messages[0], 2); // cut short: ignored
    EXPECT_EQ(notes.Count(), 3u);

    std::vector<std::array<std::uint8_t, 3>> silenced;
    // A note whose note-off could not go out stays tracked for the next try.
    notes.SilenceEach([&](const std::array<std::uint8_t, 3>& noteOff) {
        silenced.push_back(noteOff);
        return noteOff[1] != 62;
    });
    const std::vector<std::array<std::uint8_t, 3>> expected = {
        {0x80, 60, 0}, {0x80, 62, 0}, {0x8F, 127, 0}};
    EXPECT_EQ(silenced, expected);
    EXPECT_EQ(notes.Count(), 1u);
    notes.Clear();
    EXPECT_EQ(notes.Count(), 0u);
}

} // namespace

TEST(ShortMessage, NoteOffsOfOneCycleAreRepeatedUnlessStruckAgain) {
    struct Sent {
        std::array<std::uint8_t, 3> bytes;
        std::uint64_t cycle;
    };
    struct Case {
        const char* what;
        std::vector<Sent> sent;
        std::uint64_t first, last; // the cycles whose note-offs are repeated
        std::vector<std::array<std::uint8_t, 3>> repeated;
        int endings; // messages that ended a note
    };
    for (const Case& c : std::vector<Case>{
             {"ended notes, by channel",
              {{{0x90, 60, 100}, 1}, {{0x91, 62, 90}, 1}, {{0x91, 62, 0}, 3}, {{0x80, 60, 0}, 3}},
              3,
              3,
              {{0x80, 60, 0}, {0x81, 62, 0}},
              2},
             {"ended in another cycle", {{{0x90, 60, 100}, 1}, {{0x80, 60, 0}, 3}}, 4, 5, {}, 1},
             {"ended within the cycles",
              {{{0x90, 60, 100}, 1}, {{0x80, 60, 0}, 2}, {{0x90, 62, 100}, 2}, {{0x80, 62, 0}, 4}},
              1,
              3,
              {{0x80, 60, 0}},
              2},
             {"struck again",
              {{{0x90, 60, 100}, 1}, {{0x80, 60, 0}, 2}, {{0x90, 60, 80}, 3}},
              2,
              2,
              {},
              1},
             {"one of two still sounds",
              {{{0x90, 60, 100}, 1}, {{0x90, 60, 100}, 1}, {{0x80, 60, 0}, 2}},
              2,
              2,
              {},
              1},
             {"ended twice, kept once at the latest",
              {{{0x90, 60, 100}, 1}, {{0x80, 60, 0}, 2}, {{0x90, 60, 100}, 3}, {{0x80, 60, 0}, 5}},
              2,
              5,
              {{0x80, 60, 0}},
              2},
             {"no note", {{{0xB0, 123, 0}, 1}, {{0xC0, 5, 0}, 1}}, 1, 1, {}, 0}}) {
        RecentlyEndedNotes notes;
        int endings = 0;
        for (const Sent& sent : c.sent)
            endings += notes.Track(sent.bytes.data(), sent.bytes.size(), sent.cycle) ? 1 : 0;
        EXPECT_EQ(endings, c.endings) << c.what;
        std::vector<std::array<std::uint8_t, 3>> repeated;
        notes.RepeatEndedBetween(c.first, c.last, [&](const std::array<std::uint8_t, 3>& noteOff) {
            repeated.push_back(noteOff);
        });
        EXPECT_EQ(repeated, c.repeated) << c.what;
    }
}

TEST(ShortMessage, RecentlyEndedNotesKeepEveryNoteOfALongGlissando) {
    RecentlyEndedNotes notes;
    for (std::uint8_t channel = 0; channel < 16; ++channel)
        for (std::uint8_t note = 0; note < 128; ++note) {
            const std::uint8_t noteOff[] = {static_cast<std::uint8_t>(0x80 | channel), note, 0};
            notes.Track(noteOff, 3, 1);
        }
    std::size_t repeated = 0;
    notes.RepeatEndedBetween(0, 3, [&](const std::array<std::uint8_t, 3>&) { ++repeated; });
    EXPECT_EQ(repeated, 16u * 128u);
}
