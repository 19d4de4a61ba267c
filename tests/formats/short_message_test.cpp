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
