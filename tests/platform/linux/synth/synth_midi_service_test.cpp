// The built-in synthesizer in front of a fake MIDI service: device numbers, handles, and every
// way the synthesizer can fail to open. Opened synthesizers render nowhere (no audio driver).

#include "platform/linux/synth/synth_midi_service.h"
#include "tests/fakes/fake_midi_service.h"
#include "tests/integration/midi_test_support.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QTest>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace {

const char* const kGm = "/usr/share/sounds/sf2/FluidR3_GM.sf2";

class SynthService : public testing::Test {
protected:
    void Make(SynthOptions options = {}) {
        auto wrapped = std::make_unique<FakeMidiService>();
        fake_ = wrapped.get();
        fake_->outputDevices = {"a:in", "b:in"};
        fake_->inputDevices = {"c:out"};
        service_ = std::make_unique<SynthMidiService>(std::move(wrapped), std::move(options), log_);
    }
    void SetUp() override { Make(); }

    FakeMidiService* fake_ = nullptr;
    std::ostringstream log_;
    std::unique_ptr<SynthMidiService> service_;
    MidiEventRecorder recorder_;
};

TEST_F(SynthService, SynthesizerFirstThenTheOwnPortThenTheWrappedDevices) {
    ASSERT_EQ(service_->midiOutGetNumDevs(), 3);
    const struct {
        int device;
        MMRESULT result;
        std::string name;
    } rows[] = {
        {MIDI_MAPPER, MMSYSERR_NOERROR, "Microsoft MIDI Mapper"},
        {0, MMSYSERR_NOERROR, "klavio (for other programs)"},
        {1, MMSYSERR_NOERROR, "a:in"},
        {2, MMSYSERR_NOERROR, "b:in"},
        {3, MMSYSERR_BADDEVICEID, "untouched"},
        {-2, MMSYSERR_BADDEVICEID, "untouched"},
    };
    for (const auto& row : rows) {
        std::string name = "untouched";
        EXPECT_EQ(service_->midiOutGetDevCaps(row.device, name), row.result) << row.device;
        EXPECT_EQ(name, row.name);
    }
    std::string input;
    EXPECT_EQ(service_->midiInGetNumDevs(), 1);
    EXPECT_EQ(service_->midiInGetDevCaps(0, input), MMSYSERR_NOERROR);
    EXPECT_EQ(input, "c:out");
}

TEST_F(SynthService, HandlesLeadToTheirOwnPortAndNeverCollide) {
    HMIDIOUT synth = 0, own = 0, device = 0;
    ASSERT_EQ(service_->midiOutOpen(synth, MIDI_MAPPER, &recorder_), MMSYSERR_NOERROR);
    ASSERT_EQ(service_->midiOutOpen(own, 0, &recorder_), MMSYSERR_NOERROR);
    ASSERT_EQ(service_->midiOutOpen(device, 2, &recorder_), MMSYSERR_NOERROR);
    HMIDIOUT second = 0;
    EXPECT_EQ(service_->midiOutOpen(second, MIDI_MAPPER, &recorder_), MMSYSERR_ALLOCATED);
    EXPECT_EQ((std::set<HMIDIOUT>{0, synth, own, device}.size()), 4u);
    EXPECT_NE(std::find(fake_->calls.begin(), fake_->calls.end(), "midiOutOpen -1"),
              fake_->calls.end());
    EXPECT_NE(std::find(fake_->calls.begin(), fake_->calls.end(), "midiOutOpen 1"),
              fake_->calls.end());

    // Only what goes to a wrapped port reaches the wrapped service.
    EXPECT_EQ(service_->midiOutShortMsg(synth, 0x643C90), MMSYSERR_NOERROR);
    EXPECT_EQ(service_->midiOutShortMsg(device, 0x403C90), MMSYSERR_NOERROR);
    EXPECT_EQ(fake_->shortMessages, std::vector<std::uint32_t>{0x403C90});
    EXPECT_EQ(service_->midiOutShortMsg(synth, 0xFF3C90), MMSYSERR_INVALPARAM);

    // The synthesizer takes a long message at once and hands it back like any port.
    TestLongMessage gmReset({0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7, 0x90, 0x3C, 0x40});
    TestLongMessage cut({0x90, 0x3C});
    for (TestLongMessage* message : {&gmReset, &cut})
        ASSERT_EQ(service_->midiOutPrepareHeader(synth, &message->header), MMSYSERR_NOERROR);
    EXPECT_EQ(service_->midiOutLongMsg(synth, &cut.header), MMSYSERR_INVALPARAM);
    EXPECT_EQ(service_->midiOutLongMsg(synth, &gmReset.header), MMSYSERR_NOERROR);
    EXPECT_EQ(gmReset.header.dwFlags & (MHDR_DONE | MHDR_INQUEUE), MHDR_DONE);
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(recorder_.done, std::vector<MIDIHDR*>{&gmReset.header});
    EXPECT_EQ(service_->midiOutUnprepareHeader(synth, &gmReset.header), MMSYSERR_NOERROR);
    EXPECT_TRUE(fake_->longMessages.empty());

    // Only a synthesizer playing through JACK goes with the MIDI system.
    fake_->systemRunning = false;
    fake_->outStatus = MMSYSERR_NODRIVER;
    EXPECT_EQ(service_->midiOutGetStatus(synth), MMSYSERR_NOERROR);
    EXPECT_EQ(service_->midiOutGetStatus(device), MMSYSERR_NODRIVER);
    fake_->systemRunning = true;
    fake_->outStatus = MMSYSERR_NOERROR;

    EXPECT_EQ(service_->midiOutReset(synth), MMSYSERR_NOERROR);
    EXPECT_EQ(service_->midiOutClose(synth), MMSYSERR_NOERROR);
    EXPECT_EQ(service_->Engine(), nullptr);
    for (const HMIDIOUT stale : {synth, HMIDIOUT{0}, HMIDIOUT{999}})
        EXPECT_EQ(service_->midiOutShortMsg(stale, 0x403C80), MMSYSERR_INVALHANDLE) << stale;
    EXPECT_EQ(service_->midiOutShortMsg(device, 0x403C80), MMSYSERR_NOERROR);
    EXPECT_EQ(service_->midiOutClose(device), MMSYSERR_NOERROR);
    EXPECT_EQ(service_->midiOutClose(own), MMSYSERR_NOERROR);
    EXPECT_FALSE(fake_->OutputOpen());
}

TEST_F(SynthService, ASynthesizerThatCannotOpenSaysWhyInOneLine) {
    namespace fs = std::filesystem;
    std::string pattern = (fs::temp_directory_path() / "klavio-synth-XXXXXX").string();
    const fs::path root = ::mkdtemp(pattern.data());
    std::ofstream(root / "notes.sf2") << "not a SoundFont";
    // An interrupted copy keeps the header that promises the rest.
    std::ofstream(root / "cut.sf2") << std::ifstream(kGm, std::ios::binary).rdbuf();
    fs::resize_file(root / "cut.sf2", 1 << 20);
    // No JACK server answers to this name, and none may be started for it.
    ::setenv("JACK_DEFAULT_SERVER", "klavio-no-such-server", 1);
    const auto nothing = [](const std::string&) { return false; };
    const struct {
        std::string soundFont;
        std::function<bool(const std::string&)> exists;
        std::vector<std::string> drivers;
        MMRESULT result;
        std::string reason;
    } rows[] = {
        {"", nothing, {}, MMSYSERR_NODRIVER, "no SoundFont is installed"},
        {(root / "notes.sf2").string(), FileExists, {}, MMSYSERR_ERROR, "is not a SoundFont"},
        {root.string(), FileExists, {}, MMSYSERR_ERROR, "is not a regular file"},
        {(root / "cut.sf2").string(), FileExists, {}, MMSYSERR_ERROR, "is cut short"},
        {"", FileExists, {"jack"}, MMSYSERR_NODRIVER, "jack: no JACK server is running"},
        {"",
         FileExists,
         {"nosound", "jack"},
         MMSYSERR_NODRIVER,
         "(nosound: not built into this FluidSynth; jack: no JACK server is running)"},
    };
    for (const auto& row : rows) {
        Make({row.soundFont, [&row] { return row.drivers; }, "klavio", row.exists});
        log_.str("");
        HMIDIOUT handle = 0;
        EXPECT_EQ(service_->midiOutOpen(handle, MIDI_MAPPER, &recorder_), row.result);
        EXPECT_EQ(handle, 0u);
        EXPECT_EQ(service_->Engine(), nullptr);
        const std::string said = log_.str();
        EXPECT_NE(said.find(row.reason), std::string::npos) << said;
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        // The other ports are not affected.
        EXPECT_EQ(service_->midiOutOpen(handle, 1, &recorder_), MMSYSERR_NOERROR);
    }
    ::unsetenv("JACK_DEFAULT_SERVER");
    fs::remove_all(root);
}

// A file that passes every check but yields no instrument fails like one that is no SoundFont:
// the window hears of it, and a second try is refused at once.
TEST_F(SynthService, ASoundFontThatDoesNotLoadFailsLikeNoSoundFont) {
    namespace fs = std::filesystem;
    const fs::path file =
        fs::temp_directory_path() / ("klavio-empty-" + std::to_string(::getpid()) + ".sf2");
    std::ofstream(file, std::ios::binary) << std::string("RIFF\x04\0\0\0sfbk", 12);
    Make({file.string(), [] { return std::vector<std::string>{}; }, "klavio", FileExists});
    service_->midiSetDeviceWatcher(&recorder_);
    HMIDIOUT handle = 0;
    ASSERT_EQ(service_->midiOutOpen(handle, MIDI_MAPPER, &recorder_), MMSYSERR_NOERROR);
    EXPECT_TRUE(QTest::qWaitFor([this] { return recorder_.devicesChanged > 0; }, 60000));
    EXPECT_EQ(service_->midiOutGetStatus(handle), MMSYSERR_ERROR);
    EXPECT_EQ(service_->midiOutClose(handle), MMSYSERR_NOERROR);
    log_.str("");
    EXPECT_EQ(service_->midiOutOpen(handle, MIDI_MAPPER, &recorder_), MMSYSERR_ERROR);
    EXPECT_NE(log_.str().find("did not load"), std::string::npos) << log_.str();
    fs::remove(file);
}

} // namespace
