// The built-in synthesizer rendered without an audio device and judged by ear's proxy, the
// spectrum: one engine with the installed General MIDI SoundFont serves every test, since
// loading it takes the better part of a second.

#include "platform/linux/synth/fluid_synth_engine.h"
#include "platform/linux/synth/silence_rest.h"
#include "platform/linux/synth/soundfont_discovery.h"
#include "tests/audio_analysis.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <optional>
#include <tuple>
#include <vector>

// A second of inaudible periods puts rendering to rest; only a message wakes it, and a quiet
// but audible sound never rests.
TEST(SilenceRest, RestsAfterASecondOfSilenceUntilTheNextMessage) {
    struct Period {
        std::uint32_t messagesSoFar;
        float loudest; // of the period if it renders
        bool renders;
    };
    // 1,000 frames a period at 4 kHz: four inaudible periods are a second.
    const std::vector<Period> periods = {
        {0, 0.0f, true},  {0, 0.0f, true},  {0, 0.0f, true},  {0, 0.0f, true},  {0, 0.0f, false},
        {0, 0.5f, false}, {1, 0.0f, true},  {1, 2e-5f, true}, {1, 0.0f, true},  {1, 0.0f, true},
        {1, 0.0f, true},  {1, 0.0f, true},  {1, 0.0f, false}, {2, 1e-6f, true}, {2, 1e-6f, true},
        {2, 1e-6f, true}, {2, 1e-6f, true}, {2, 0.0f, false}, {2, 0.0f, false},
    };
    SilenceRest rest(4000.0);
    for (std::size_t i = 0; i < periods.size(); ++i) {
        const bool renders = rest.Renders(periods[i].messagesSoFar);
        EXPECT_EQ(renders, periods[i].renders) << "period " << i;
        if (renders)
            rest.Rendered(1000, periods[i].loudest);
    }
}

namespace {

constexpr double kRate = 48000.0;

using Bytes = std::vector<std::uint8_t>;

// The first eight harmonics' share of their sum: the sound's colour, whatever its loudness.
std::vector<double> Colour(const Samples& samples, double fundamental) {
    std::vector<double> shares;
    double total = 0.0;
    for (int harmonic = 1; harmonic <= 8; ++harmonic)
        total += shares.emplace_back(Magnitude(samples, fundamental * harmonic, kRate));
    for (double& share : shares)
        share /= total;
    return shares;
}

double Distance(const std::vector<double>& a, const std::vector<double>& b) {
    double sum = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i)
        sum += std::abs(a[i] - b[i]);
    return sum;
}

// How much of the sound lies on the harmonic series of fundamental: the first eight harmonics'
// strength over that of the points midway between them. A pitched note puts its energy on its
// harmonics, far above the points between (the piano gives 16 to 56 at the notes below); a drum's
// noise, or a shell tuned to no particular key, spreads it about evenly, near 1.
double Harmonicity(const Samples& samples, double fundamental) {
    double on = 0.0;
    double between = 0.0;
    for (int harmonic = 1; harmonic <= 8; ++harmonic) {
        on += Magnitude(samples, fundamental * harmonic, kRate);
        between += Magnitude(samples, fundamental * (harmonic + 0.5), kRate);
    }
    return on / between;
}

class SynthEngine : public testing::Test {
protected:
    static void SetUpTestSuite() {
        const auto soundFont = FindSoundFont({}, FileExists);
        if (!soundFont)
            return;
        std::string whyNot;
        engine_ = FluidSynthEngine::Open({*soundFont, {}, "klavio-test"}, whyNot).release();
        ASSERT_NE(engine_, nullptr) << whyNot;
        ASSERT_TRUE(engine_->WaitUntilLoaded(std::chrono::seconds(60)));
    }
    static void TearDownTestSuite() {
        delete engine_;
        engine_ = nullptr;
    }
    void SetUp() override {
        if (engine_ == nullptr)
            GTEST_SKIP() << "no General MIDI SoundFont installed (Debian fluid-soundfont-gm)";
        // Whatever the last test left: no voice, no reverb tail, the piano at rest.
        engine_->Silence();
        Send({0xC0, 0});
        Send({0xE0, 0x00, 0x40});
        Send({0xB0, 7, 100});
        Render(2.0);
    }

    static void Send(const Bytes& bytes, FluidSynthEngine* engine = engine_) {
        engine->Play(bytes.data(), bytes.size());
    }
    static Samples Render(double seconds, FluidSynthEngine* engine = engine_) {
        Samples left(static_cast<std::size_t>(seconds * kRate));
        Samples right(left.size());
        engine->Render(left.size(), left.data(), right.data());
        return left;
    }
    // Half a second of one note, from 100 ms after it began; the note is still held.
    static Samples Note(int note, int velocity = 100, FluidSynthEngine* engine = engine_) {
        Send({0x90, static_cast<std::uint8_t>(note), static_cast<std::uint8_t>(velocity)}, engine);
        Render(0.1, engine);
        return Render(0.5, engine);
    }

    static FluidSynthEngine* engine_;
};

FluidSynthEngine* SynthEngine::engine_ = nullptr;

TEST_F(SynthEngine, NotesSoundAtTheirPitch) {
    const struct {
        int note;
        int bend; // 0x2000 is none; the default range is two semitones each way
        double hertz;
        int range = 2; // bend range in semitones, as the Sound page sets it
    } rows[] = {{69, 0x2000, 440.0},
                {60, 0x2000, 261.63},
                {69, 0x3FFF, 493.87},
                {69, 0x3FFF, 880.0, 12},
                {69, 0x0000, 329.63, 5}};
    for (const auto& row : rows) {
        const auto range = static_cast<std::uint8_t>(row.range);
        for (const Bytes& entry :
             std::vector<Bytes>{{0xB0, 101, 0}, {0xB0, 100, 0}, {0xB0, 6, range}, {0xB0, 38, 0}})
            Send(entry);
        Send({0xE0, static_cast<std::uint8_t>(row.bend & 0x7F),
              static_cast<std::uint8_t>(row.bend >> 7)});
        const double measured = PeakNear(Note(row.note), row.hertz, kRate);
        EXPECT_NEAR(measured, row.hertz, row.hertz * 0.01) << row.note;
        Send({0x80, static_cast<std::uint8_t>(row.note), 0});
        engine_->Silence();
    }
}

TEST_F(SynthEngine, VelocityAndVolumeSetTheLoudness) {
    const double soft = Rms(Note(60, 40));
    engine_->Silence();
    const double loud = Rms(Note(60, 120));
    engine_->Silence();
    Send({0xB0, 7, 30});
    const double turnedDown = Rms(Note(60, 120));
    EXPECT_GT(loud, soft * 1.5);
    EXPECT_LT(turnedDown, loud * 0.5);
}

// Loud enough beside other synthesizers, never clipping: one note at velocity 100 peaks
// between -14 and -8 dBFS, ten at 127 stay below full scale; master volume 0 is silence.
TEST_F(SynthEngine, ANotePlaysAtAHealthyLevelAndAChordDoesNotClip) {
    const auto peakOf = [](const std::vector<int>& notes, int velocity) {
        engine_->Silence();
        Render(1.0);
        for (const int note : notes)
            Send({0x90, static_cast<std::uint8_t>(note), static_cast<std::uint8_t>(velocity)});
        double peak = 0.0;
        for (const float sample : Render(1.0))
            peak = std::max(peak, static_cast<double>(std::abs(sample)));
        for (const int note : notes)
            Send({0x80, static_cast<std::uint8_t>(note), 0});
        engine_->Silence();
        Render(3.0); // the reverb's tail too
        return 20.0 * std::log10(peak);
    };
    for (const int note : {24, 48, 60, 72, 84}) {
        const double level = peakOf({note}, 100);
        std::printf("[ measured ] note %d at velocity 100 peaks at %.1f dBFS\n", note, level);
        EXPECT_GT(level, -14.0) << note;
        EXPECT_LT(level, -8.0) << note;
    }
    const double chord = peakOf({36, 43, 48, 52, 55, 60, 64, 67, 72, 76}, 127);
    std::printf("[ measured ] ten notes at velocity 127 peak at %.1f dBFS\n", chord);
    EXPECT_LT(chord, 0.0);
    engine_->SetVolume(0.0);
    const double muted = peakOf({60}, 127);
    engine_->SetVolume(1.0);
    EXPECT_LT(muted, -90.0);
}

TEST_F(SynthEngine, AReleasedNoteDiesAwayAndAResetSilencesAtOnce) {
    const double held = Rms(Note(60));
    Send({0x80, 60, 0});
    double decayed = 0.0;
    for (; decayed < 5.0 && Rms(Render(0.05)) > held * 0.001; decayed += 0.05) {
    }
    EXPECT_LT(decayed, 3.0);

    Note(60);
    Note(64);
    const double chord = Rms(Note(67));
    engine_->Silence();
    // Only the reverb's tail is left.
    const double afterReset = Rms(Render(0.02));
    EXPECT_LT(afterReset, chord * 0.1);
    Render(1.0);
    EXPECT_LT(Rms(Render(0.05)), chord * 0.001);
}

TEST_F(SynthEngine, ProgramAndGmResetChooseTheInstrument) {
    const std::vector<double> piano = Colour(Note(60), 261.63);
    const struct {
        std::vector<Bytes> before;
        bool piano;
    } rows[] = {
        {{}, true},
        {{{0xC0, 73}}, false},                                      // flute
        {{{0xC0, 73}, {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}}, true}, // GM reset: piano again
    };
    for (const auto& row : rows) {
        engine_->Silence();
        Render(1.0);
        for (const Bytes& message : row.before)
            Send(message);
        const double distance = Distance(Colour(Note(60), 261.63), piano);
        if (row.piano)
            EXPECT_LT(distance, 0.05);
        else
            EXPECT_GT(distance, 0.15);
    }
}

// General MIDI keeps channel 10 for percussion: there a key chooses a drum, not a pitch. The
// first 150 ms are judged, as a closed hi-hat is over soon after.
TEST_F(SynthEngine, ChannelTenPlaysDrumsWithoutThePitchOfTheirKey) {
    const struct {
        std::uint8_t note;
        const char* drum;
    } rows[] = {{38, "acoustic snare"}, {42, "closed hi-hat"}};
    for (const auto& row : rows) {
        const double fundamental = 440.0 * std::pow(2.0, (row.note - 69) / 12.0);
        const auto strike = [&](std::uint8_t status) {
            engine_->Silence();
            Render(1.0);
            Send({status, row.note, 100});
            return Render(0.15);
        };
        const Samples piano = strike(0x90);
        // The standard kit as the Sound page chooses it, in the rhythm bank.
        for (const Bytes& choice : std::vector<Bytes>{{0xB9, 0, 120}, {0xB9, 32, 0}, {0xC9, 0}})
            Send(choice);
        const Samples drum = strike(0x99);
        EXPECT_GT(Harmonicity(piano, fundamental), 8.0) << row.drum;
        EXPECT_LT(Harmonicity(drum, fundamental), 3.0) << row.drum;
        // Heard at all: silence has no pitch either.
        EXPECT_GT(Rms(drum), Rms(piano) * 0.05) << row.drum;
    }
}

// An instrument first chosen is read from the disk on the synthesizer's own thread, which the
// file is opened for alone: a note sent right behind its program change waits for it and plays
// it at its pitch, and a note-off sent at once still ends that note.
TEST_F(SynthEngine, AProgramNotYetInMemoryPlaysTheNotesBehindItInOrder) {
    const std::vector<double> piano = Colour(Note(69), 440.0);
    Send({0x80, 69, 0});
    const struct {
        std::uint8_t channel;
        std::uint8_t program;
    } rows[] = {{0, 73}, {2, 40}, {5, 56}, {0, 0}}; // flute, violin, trumpet, the piano again
    for (const auto& row : rows) {
        engine_->Silence();
        Render(1.0);
        Send({static_cast<std::uint8_t>(0xC0 | row.channel), row.program});
        const auto on = static_cast<std::uint8_t>(0x90 | row.channel);
        const Samples heard = Note(69, 100);
        EXPECT_NEAR(PeakNear(heard, 440.0, kRate), 440.0, 4.4) << int(row.program);
        EXPECT_EQ(Distance(Colour(heard, 440.0), piano) < 0.05, row.program == 0)
            << int(row.program);
        Send({static_cast<std::uint8_t>(0x80 | row.channel), 69, 0});
        engine_->Silence();
        Render(1.0);
        // On, off and a new program at once: the note is heard and ends.
        Send({on, 69, 100});
        Send({static_cast<std::uint8_t>(0xC0 | row.channel), 19});
        Send({on, 69, 0});
        EXPECT_GT(Rms(Render(0.3)), Rms(heard) * 0.05) << int(row.program);
        Render(3.0);
        EXPECT_LT(Rms(Render(0.05)), Rms(heard) * 0.001) << int(row.program);
        Send({static_cast<std::uint8_t>(0xC0 | row.channel), row.program});
    }
}

// Only the instruments the channels play are in memory, not the whole SoundFont.
TEST_F(SynthEngine, KeepsOnlyTheInstrumentsInUseInMemory) {
    const auto anonymousKb = [] {
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("RssAnon:", 0) == 0)
                return std::stol(line.substr(8));
        return 0L;
    };
    const std::string installed = *FindSoundFont({}, FileExists);
    const long before = anonymousKb();
    std::string whyNot;
    const auto another = FluidSynthEngine::Open({installed, {}, "klavio-test"}, whyNot);
    ASSERT_TRUE(another && another->WaitUntilLoaded(std::chrono::seconds(60))) << whyNot;
    const auto grown = static_cast<std::uintmax_t>(anonymousKb() - before) * 1024;
    std::printf("[ measured ] %ju kB for a SoundFont of %ju kB\n", grown / 1024,
                std::filesystem::file_size(installed) / 1024);
    EXPECT_LT(grown, std::filesystem::file_size(installed) / 2);
}

// The smallest SoundFont FluidSynth loads: one instrument of one short sample, under the two
// presets given, each in its own bank.
std::string SmallSoundFont(const std::vector<std::pair<int, std::string>>& banksAndNames) {
    const auto number = [](std::uint32_t value, int bytes) {
        std::string out;
        for (int i = 0; i < bytes; ++i)
            out += static_cast<char>(value >> (8 * i));
        return out;
    };
    const auto name = [](const std::string& text) {
        return (text + std::string(20, '\0')).substr(0, 20);
    };
    const auto chunk = [&](const char* id, const std::string& body) {
        return std::string(id, 4) + number(static_cast<std::uint32_t>(body.size()), 4) + body;
    };
    const auto list = [&](const char* type, const std::string& body) {
        return chunk("LIST", std::string(type, 4) + body);
    };
    std::string phdr, pbag, pgen;
    std::uint16_t bag = 0;
    for (const auto& [bank, preset] : banksAndNames) {
        phdr += name(preset) + number(48, 2) + number(static_cast<std::uint32_t>(bank), 2) +
                number(bag, 2) + std::string(12, '\0');
        pbag += number(bag, 2) + number(0, 2);
        pgen += number(41, 2) + number(0, 2); // the instrument
        ++bag;
    }
    phdr += name("EOP") + number(0, 4) + number(bag, 2) + std::string(12, '\0');
    pbag += number(bag, 2) + number(0, 2);
    pgen += number(0, 4);
    const std::string samples(2 * (200 + 46), '\0');
    const std::string shdr = name("tone") + number(0, 4) + number(200, 4) + number(20, 4) +
                             number(180, 4) + number(22050, 4) + number(60, 1) + number(0, 1) +
                             number(0, 2) + number(1, 2) + name("EOS") + std::string(26, '\0');
    const std::string body =
        "sfbk" +
        list("INFO", chunk("ifil", number(2, 2) + number(1, 2)) +
                         chunk("isng", std::string("EMU8000\0", 8)) +
                         chunk("INAM", std::string("small\0", 6))) +
        list("sdta", chunk("smpl", samples)) +
        list("pdta",
             chunk("phdr", phdr) + chunk("pbag", pbag) + chunk("pmod", std::string(10, '\0')) +
                 chunk("pgen", pgen) +
                 chunk("inst", name("instrument") + number(0, 2) + name("EOI") + number(1, 2)) +
                 chunk("ibag", number(0, 4) + number(1, 2) + number(0, 2)) +
                 chunk("imod", std::string(10, '\0')) +
                 chunk("igen", number(53, 2) + number(0, 2) + number(0, 4)) + chunk("shdr", shdr));
    return chunk("RIFF", body);
}

// The instruments as the SoundFont names them, from the installed General MIDI one and from one
// the test writes.
TEST_F(SynthEngine, ListsTheInstrumentsOfItsSoundFont) {
    const std::vector<SynthPreset> installed = engine_->Presets();
    ASSERT_GE(installed.size(), 128u);
    EXPECT_EQ(installed.front().bank, 0);
    EXPECT_EQ(installed.front().program, 0);
    EXPECT_TRUE(std::any_of(installed.begin(), installed.end(),
                            [](const SynthPreset& preset) { return preset.bank == 128; }));

    const std::filesystem::path file = std::filesystem::temp_directory_path() /
                                       ("klavio-small-" + std::to_string(::getpid()) + ".sf2");
    std::ofstream(file, std::ios::binary) << SmallSoundFont({{128, "Kit"}, {0, "Strings"}});
    std::string whyNot;
    const auto small = FluidSynthEngine::Open({file.string(), {}, "klavio-test"}, whyNot);
    std::filesystem::remove(file);
    ASSERT_TRUE(small) << whyNot;
    ASSERT_TRUE(small->WaitUntilLoaded(std::chrono::seconds(10))) << small->LoadProblem();
    std::vector<std::tuple<int, int, std::string>> listed;
    for (const SynthPreset& preset : small->Presets())
        listed.emplace_back(preset.bank, preset.program, preset.name);
    EXPECT_EQ(listed, (std::vector<std::tuple<int, int, std::string>>{{0, 48, "Strings"},
                                                                      {128, 48, "Kit"}}));
}

// An instrument read later from a file that has shrunk since: silence, never a note played
// from samples that are not there.
TEST_F(SynthEngine, AnInstrumentThatCannotBeReadLaterStaysSilent) {
    const std::filesystem::path file = std::filesystem::temp_directory_path() /
                                       ("klavio-shrinking-" + std::to_string(::getpid()) + ".sf2");
    std::ofstream(file, std::ios::binary) << SmallSoundFont({{0, "Strings"}});
    std::string whyNot;
    const auto small = FluidSynthEngine::Open({file.string(), {}, "klavio-test"}, whyNot);
    ASSERT_TRUE(small && small->WaitUntilLoaded(std::chrono::seconds(10))) << whyNot;
    std::filesystem::resize_file(file, 64);
    std::filesystem::remove(file);
    Send({0xC0, 48}, small.get());
    Send({0x90, 60, 100}, small.get());
    EXPECT_LT(Rms(Render(0.2, small.get())), 1e-6);
}

TEST_F(SynthEngine, WhileLoadingNotesGoUnheardAndProgramsWait) {
    std::string whyNot;
    const auto loading =
        FluidSynthEngine::Open({*FindSoundFont({}, FileExists), {}, "klavio-test"}, whyNot);
    ASSERT_TRUE(loading) << whyNot;
    Send({0xC0, 73}, loading.get());
    Send({0x90, 60, 100}, loading.get());
    if (loading->LoadState() != FluidSynthEngine::Loading::Busy)
        GTEST_SKIP() << "the SoundFont loaded before the test could play into the load";
    ASSERT_TRUE(loading->WaitUntilLoaded(std::chrono::seconds(60)));
    EXPECT_LT(Rms(Render(0.2, loading.get())), 1e-6);

    // The program change held during the load took effect: this is no piano. (Comparing with
    // the other engine's flute would not do: the chorus's sweep differs between engines.)
    const std::vector<double> heard = Colour(Note(60, 100, loading.get()), 261.63);
    EXPECT_GT(Distance(heard, Colour(Note(60), 261.63)), 0.15);
}

// Closing never waits for the load: an abandoned one ends by itself. And FluidSynth reads the
// file that was checked, even when its path leads to a pipe by the time the load starts.
TEST_F(SynthEngine, TheLoadReadsTheCheckedFileAndClosingLeavesItBehind) {
    const std::string installed = *FindSoundFont({}, FileExists);
    std::string pattern = (std::filesystem::temp_directory_path() / "klavio-sf-XXXXXX").string();
    const std::filesystem::path root = ::mkdtemp(pattern.data());
    const std::filesystem::path link = root / "flipping.sf2";
    std::filesystem::create_symlink(installed, link);
    std::string whyNot;
    std::optional<SoundFontFile> file = SoundFontFile::Open(link.string(), whyNot);
    ASSERT_TRUE(file) << whyNot;
    std::filesystem::remove(link);
    ASSERT_EQ(::mkfifo(link.c_str(), 0600), 0);
    auto flipped = FluidSynthEngine::Open(std::move(*file), {link.string(), {}, "t"}, whyNot);
    ASSERT_TRUE(flipped && flipped->WaitUntilLoaded(std::chrono::seconds(60))) << whyNot;

    auto loading = FluidSynthEngine::Open({installed, {}, "klavio-test"}, whyNot);
    ASSERT_TRUE(loading) << whyNot;
    const auto closing = std::chrono::steady_clock::now();
    const bool busy = loading->LoadState() == FluidSynthEngine::Loading::Busy;
    loading.reset();
    if (busy) {
        EXPECT_LT(std::chrono::steady_clock::now() - closing, std::chrono::milliseconds(100));
    }
    std::filesystem::remove_all(root);
}

} // namespace
