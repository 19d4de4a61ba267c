#include "formats/midi_stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

MidiStreamSplit Split(const Bytes& bytes) {
    return SplitMidiStream(bytes.data(), bytes.size());
}

using P = MidiStreamProblem;

struct Row {
    std::string what;
    Bytes stream;
    std::vector<Bytes> messages;
    MidiStreamProblem problem; // the first one
};

TEST(MidiStream, SplitsAStreamAsItWouldTravelOnACable) {
    const std::vector<Row> rows{
        {"one byte", {0xFE}, {{0xFE}}, P::None},
        {"note on", {0x90, 0x3C, 0x7F}, {{0x90, 0x3C, 0x7F}}, P::None},
        {"program change has one data byte", {0xC5, 0x07}, {{0xC5, 0x07}}, P::None},
        {"running status is expanded",
         {0x90, 0x3C, 0x7F, 0x40, 0x7F, 0x3C, 0x00},
         {{0x90, 0x3C, 0x7F}, {0x90, 0x40, 0x7F}, {0x90, 0x3C, 0x00}},
         P::None},
        {"real-time inside a message comes out first and keeps running status",
         {0x90, 0x3C, 0xF8, 0x7F, 0x40, 0x00},
         {{0xF8}, {0x90, 0x3C, 0x7F}, {0x90, 0x40, 0x00}},
         P::None},
        {"sysex stays whole; real-time inside it comes before it",
         {0xF0, 0x7E, 0xFA, 0x7F, 0x09, 0x01, 0xF7},
         {{0xFA}, {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}},
         P::None},
        {"system common cancels running status",
         {0xB0, 0x07, 0x64, 0xF6, 0x07, 0x64},
         {{0xB0, 0x07, 0x64}, {0xF6}},
         P::DataWithoutStatus},
        {"sysex cancels running status too",
         {0x90, 0x3C, 0x7F, 0xF0, 0x01, 0xF7, 0x3C, 0x00},
         {{0x90, 0x3C, 0x7F}, {0xF0, 0x01, 0xF7}},
         P::DataWithoutStatus},
        {"song position", {0xF2, 0x10, 0x20}, {{0xF2, 0x10, 0x20}}, P::None},
        {"data without status", {0x3C, 0x7F}, {}, P::DataWithoutStatus},
        {"incomplete trailing message",
         {0x90, 0x3C, 0x7F, 0x80, 0x3C},
         {{0x90, 0x3C, 0x7F}},
         P::CutShort},
        {"a status byte cuts the message before it short", {0x90, 0x80, 0x00}, {}, P::CutShort},
        {"sysex without its end", {0xF0, 0x01, 0x02}, {}, P::SysExWithoutEnd},
        {"sysex cut by a status byte",
         {0xF0, 0x01, 0x90, 0x3C, 0x7F},
         {{0x90, 0x3C, 0x7F}},
         P::SysExWithoutEnd},
        {"stray end of sysex", {0xF7}, {}, P::UndefinedStatus},
        {"undefined status bytes", {0xF4, 0xF5, 0xF9, 0xFD}, {}, P::UndefinedStatus},
        {"empty", {}, {}, P::None},
    };
    for (const Row& row : rows) {
        const MidiStreamSplit split = Split(row.stream);
        EXPECT_EQ(split.messages, row.messages) << row.what;
        EXPECT_EQ(split.problem, row.problem) << row.what;
        EXPECT_EQ(split.complete, row.problem == P::None) << row.what;
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
