#include "formats/midi_stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

MidiStreamSplit Split(const Bytes& bytes) {
    return SplitMidiStream(bytes.data(), bytes.size());
}

struct Row {
    std::string what;
    Bytes stream;
    std::vector<Bytes> messages;
    bool complete;
};

TEST(MidiStream, SplitsAStreamAsItWouldTravelOnACable) {
    const std::vector<Row> rows{
        {"one byte", {0xFE}, {{0xFE}}, true},
        {"note on", {0x90, 0x3C, 0x7F}, {{0x90, 0x3C, 0x7F}}, true},
        {"program change has one data byte", {0xC5, 0x07}, {{0xC5, 0x07}}, true},
        {"running status is expanded",
         {0x90, 0x3C, 0x7F, 0x40, 0x7F, 0x3C, 0x00},
         {{0x90, 0x3C, 0x7F}, {0x90, 0x40, 0x7F}, {0x90, 0x3C, 0x00}},
         true},
        {"real-time inside a message comes out first and keeps running status",
         {0x90, 0x3C, 0xF8, 0x7F, 0x40, 0x00},
         {{0xF8}, {0x90, 0x3C, 0x7F}, {0x90, 0x40, 0x00}},
         true},
        {"sysex stays whole; real-time inside it comes before it",
         {0xF0, 0x7E, 0xFA, 0x7F, 0x09, 0x01, 0xF7},
         {{0xFA}, {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}},
         true},
        {"system common cancels running status",
         {0xB0, 0x07, 0x64, 0xF6, 0x07, 0x64},
         {{0xB0, 0x07, 0x64}, {0xF6}},
         false},
        {"sysex cancels running status too",
         {0x90, 0x3C, 0x7F, 0xF0, 0x01, 0xF7, 0x3C, 0x00},
         {{0x90, 0x3C, 0x7F}, {0xF0, 0x01, 0xF7}},
         false},
        {"song position", {0xF2, 0x10, 0x20}, {{0xF2, 0x10, 0x20}}, true},
        {"data without status", {0x3C, 0x7F}, {}, false},
        {"incomplete trailing message",
         {0x90, 0x3C, 0x7F, 0x80, 0x3C},
         {{0x90, 0x3C, 0x7F}},
         false},
        {"sysex without its end", {0xF0, 0x01, 0x02}, {}, false},
        {"sysex cut by a status byte", {0xF0, 0x01, 0x90, 0x3C, 0x7F}, {{0x90, 0x3C, 0x7F}}, false},
        {"stray end of sysex", {0xF7}, {}, false},
        {"undefined status bytes", {0xF4, 0xF5, 0xF9, 0xFD}, {}, false},
        {"empty", {}, {}, true},
    };
    for (const Row& row : rows) {
        const MidiStreamSplit split = Split(row.stream);
        EXPECT_EQ(split.messages, row.messages) << row.what;
        EXPECT_EQ(split.complete, row.complete) << row.what;
    }
}

TEST(MidiStream, LargeSysExIsOneMessage) {
    Bytes dump(65536, 0x55);
    dump.front() = 0xF0;
    dump.back() = 0xF7;
    const MidiStreamSplit split = Split(dump);
    ASSERT_EQ(split.messages.size(), 1u);
    EXPECT_EQ(split.messages[0], dump);
    EXPECT_TRUE(split.complete);
}

TEST(MidiStream, DataLengths) {
    EXPECT_EQ(MidiDataLength(0x80), 2);
    EXPECT_EQ(MidiDataLength(0xAF), 2);
    EXPECT_EQ(MidiDataLength(0xC0), 1);
    EXPECT_EQ(MidiDataLength(0xDF), 1);
    EXPECT_EQ(MidiDataLength(0xE3), 2);
    EXPECT_EQ(MidiDataLength(0xF1), 1);
    EXPECT_EQ(MidiDataLength(0xF3), 1);
    EXPECT_EQ(MidiDataLength(0xF6), 0);
    EXPECT_EQ(MidiDataLength(0xF8), 0);
    EXPECT_EQ(MidiDataLength(0xFF), 0);
    for (int status : {0x00, 0x7F, 0xF0, 0xF4, 0xF5, 0xF7, 0xF9, 0xFD})
        EXPECT_EQ(MidiDataLength(static_cast<std::uint8_t>(status)), -1) << status;
}

// Every message that comes out is well formed, whatever goes in.
TEST(MidiStream, OnlyWellFormedMessagesComeOut) {
    std::uint32_t state = 12345;
    for (int round = 0; round < 2000; ++round) {
        Bytes stream(static_cast<std::size_t>(round % 40));
        for (auto& byte : stream) {
            state = state * 1103515245u + 12345u;
            byte = static_cast<std::uint8_t>(state >> 16);
        }
        for (const Bytes& message : Split(stream).messages) {
            ASSERT_FALSE(message.empty());
            const std::uint8_t status = message.front();
            if (status == 0xF0) {
                ASSERT_EQ(message.back(), 0xF7);
                for (std::size_t i = 1; i + 1 < message.size(); ++i)
                    ASSERT_LT(message[i], 0x80);
            } else {
                ASSERT_GE(MidiDataLength(status), 0);
                ASSERT_EQ(message.size(), static_cast<std::size_t>(MidiDataLength(status)) + 1);
                for (std::size_t i = 1; i < message.size(); ++i)
                    ASSERT_LT(message[i], 0x80);
            }
        }
    }
}

} // namespace
