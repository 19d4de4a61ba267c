#include "formats/channel_sound.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

TEST(ChannelSound, EachChangeSendsWhatItNeedsAndAnUnchangedValueNothing) {
    ChannelSound sound;
    const struct {
        const char* what;
        std::function<ShortMessages()> change;
        ShortMessages sent;
    } cases[] = {
        {"strings on channel 3",
         [&] {
             return sound.Choose(2, {0, 0, 48});
         },
         {0x0000B2, 0x0020B2, 0x0030C2}},
        {"the same sound again",
         [&] {
             return sound.Choose(2, {0, 0, 48});
         },
         {0x0000B2, 0x0020B2, 0x0030C2}},
        {"volume", [&] { return sound.Set(2, Controller::Volume, 90); }, {0x5A07B2}},
        {"volume unchanged", [&] { return sound.Set(2, Controller::Volume, 90); }, {}},
        {"pan beyond the top", [&] { return sound.Set(0, Controller::Pan, 300); }, {0x7F0AB0}},
        {"modulation", [&] { return sound.Set(15, Controller::Modulation, 1); }, {0x0101BF}},
        {"bend up", [&] { return sound.SetBend(2, 16383); }, {0x7F7FE2}},
        {"bend back to centre", [&] { return sound.SetBend(2, 8192); }, {0x4000E2}},
        {"bend at centre again", [&] { return sound.SetBend(2, 8192); }, {}},
        {"bend range 12",
         [&] { return sound.SetBendRange(2, 12); },
         {0x0065B2, 0x0064B2, 0x0C06B2, 0x0026B2, 0x7F65B2, 0x7F64B2}},
        {"sostenuto down", [&] { return sound.SetPedal(2, Pedal::Sostenuto, true); }, {0x7F42B2}},
        {"sostenuto down again", [&] { return sound.SetPedal(2, Pedal::Sostenuto, true); }, {}},
        {"soft up while up", [&] { return sound.SetPedal(2, Pedal::Soft, false); }, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.change(), c.sent) << c.what;
}

// A device opened later gets every channel the user changed and the pedals held now;
// untouched channels are left as the device has them.
TEST(ChannelSound, RestoreBringsANewDeviceToWhatThePageShows) {
    ChannelSound sound;
    EXPECT_EQ(sound.Restore(), ShortMessages{});
    sound.Choose(4, {1, 2, 52});
    sound.SetPedal(7, Pedal::Soft, true);
    const ShortMessages expected = {0x0100B4, 0x0220B4, 0x0034C4, 0x6407B4, 0x400AB4, 0x7F0BB4,
                                    0x285BB4, 0x005DB4, 0x0001B4, 0x0065B4, 0x0064B4, 0x0206B4,
                                    0x0026B4, 0x7F65B4, 0x7F64B4, 0x4000E4, 0x6407B7, 0x400AB7,
                                    0x7F0BB7, 0x285BB7, 0x005DB7, 0x0001B7, 0x0065B7, 0x0064B7,
                                    0x0206B7, 0x0026B7, 0x7F65B7, 0x7F64B7, 0x4000E7, 0x7F43B7};
    EXPECT_EQ(sound.Restore(), expected);

    ChannelSettings stored;
    stored.sound = SoundChoice{200, -1, 128};
    stored.bendRange = 99;
    sound.SetSettings(9, stored);
    EXPECT_EQ(sound.Settings(9).sound, (SoundChoice{127, 0, 127}));
    EXPECT_EQ(sound.Settings(9).bendRange, kMaxBendRange);
}

} // namespace
