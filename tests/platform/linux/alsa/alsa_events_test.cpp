#include "platform/linux/alsa/alsa_events.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<std::uint32_t> Decoded(const snd_seq_event_t& event) {
    std::array<std::uint32_t, 4> messages{};
    const int count = DecodeEvent(event, messages);
    return {messages.begin(), messages.begin() + count};
}

TEST(AlsaEvents, EveryShortMessageKindSurvivesTheSequencer) {
    for (const std::vector<std::uint8_t>& bytes :
         std::vector<std::vector<std::uint8_t>>{{0x80, 60, 64},
                                                {0x9F, 127, 1},
                                                {0xA3, 60, 90},
                                                {0xB0, 7, 100},
                                                {0xC9, 127},
                                                {0xD1, 40},
                                                {0xE0, 0, 0},
                                                {0xE0, 0, 64},
                                                {0xEF, 127, 127},
                                                {0xF1, 0x35},
                                                {0xF2, 0x7F, 0x7F},
                                                {0xF3, 12},
                                                {0xF6},
                                                {0xF8},
                                                {0xFA},
                                                {0xFB},
                                                {0xFC},
                                                {0xFE},
                                                {0xFF}}) {
        snd_seq_event_t event;
        ASSERT_TRUE(EncodeShortMessage(bytes.data(), bytes.size(), event)) << int{bytes[0]};
        std::uint32_t packed = 0;
        for (std::size_t i = 0; i < bytes.size(); ++i)
            packed |= std::uint32_t{bytes[i]} << (8 * i);
        EXPECT_EQ(Decoded(event), std::vector<std::uint32_t>{packed}) << int{bytes[0]};
    }
}

TEST(AlsaEvents, RefusesWhatIsNoShortMessage) {
    for (const std::vector<std::uint8_t>& bytes : std::vector<std::vector<std::uint8_t>>{
             {}, {0x3C, 0x7F}, {0x90, 0x3C}, {0xF0, 0x7E, 0xF7}, {0xF7}, {0xF9}, {0xFD}}) {
        snd_seq_event_t event;
        EXPECT_FALSE(EncodeShortMessage(bytes.data(), bytes.size(), event));
    }
}

TEST(AlsaEvents, PeersEventsBecomeCableMessagesOrNothing) {
    struct Case {
        snd_seq_event_type_t type;
        int channel, param, value;
        std::vector<std::uint32_t> messages;
    };
    for (const Case& c : std::vector<Case>{
             // A 14-bit controller is the coarse one and its fine partner 32 numbers up.
             {SND_SEQ_EVENT_CONTROL14, 2, 7, 0x3FFF, {0x7F07B2, 0x7F27B2}},
             {SND_SEQ_EVENT_CONTROL14, 0, 40, 0x85, {0x0528B0}},
             {SND_SEQ_EVENT_NONREGPARAM, 0, 0x81, 0x102, {0x0163B0, 0x0162B0, 0x0206B0, 0x0226B0}},
             {SND_SEQ_EVENT_REGPARAM, 0, 0, 0, {0x0065B0, 0x0064B0, 0x0006B0, 0x0026B0}},
             // Out of range: dropped, not folded into something else.
             {SND_SEQ_EVENT_CONTROLLER, 16, 7, 1, {}},
             {SND_SEQ_EVENT_CONTROLLER, 0, 128, 1, {}},
             {SND_SEQ_EVENT_PGMCHANGE, 0, 0, 128, {}},
             {SND_SEQ_EVENT_PITCHBEND, 0, 0, 8192, {}},
             {SND_SEQ_EVENT_SONGPOS, 0, 0, 16384, {}},
             {SND_SEQ_EVENT_SYSEX, 0, 0, 0, {}}}) {
        snd_seq_event_t event;
        snd_seq_ev_clear(&event);
        event.type = c.type;
        event.data.control.channel = static_cast<unsigned char>(c.channel);
        event.data.control.param = static_cast<unsigned>(c.param);
        event.data.control.value = c.value;
        EXPECT_EQ(Decoded(event), c.messages) << int{c.type} << " " << c.value;
    }
    snd_seq_event_t note;
    snd_seq_ev_clear(&note);
    snd_seq_ev_set_noteon(&note, 0, 60, 128);
    EXPECT_TRUE(Decoded(note).empty()); // velocity out of range
}

} // namespace
