// Opening the ALSA backend where it cannot work: the program must learn why and go on without
// MIDI rather than crash or print alsa-lib's complaints.

#include "platform/linux/alsa/alsa_midi_service.h"

#include <QByteArray>
#include <QTemporaryFile>
#include <gtest/gtest.h>

#include <unistd.h>

namespace {

void ExpectRefusedWithOneLineReason() {
    std::string whyNot;
    const std::unique_ptr<MidiService> service = OpenAlsaMidiService("klavio-test", whyNot);
    EXPECT_EQ(service, nullptr);
    EXPECT_FALSE(whyNot.empty());
    EXPECT_EQ(whyNot.find('\n'), std::string::npos) << whyNot;
}

TEST(AlsaOpen, WithoutKernelSequencerGivesNothingAndAReason) {
    if (access("/dev/snd/seq", F_OK) == 0)
        GTEST_SKIP() << "this machine has a sequencer";
    ExpectRefusedWithOneLineReason();
}

TEST(AlsaOpen, WithUnusableConfigurationGivesNothingAndAReason) {
    // A configuration that defines no sequencer fails on any machine, sound card or not.
    QTemporaryFile config;
    ASSERT_TRUE(config.open());
    config.write("# nothing defined\n");
    config.flush();
    const QByteArray saved = qgetenv("ALSA_CONFIG_PATH");
    const bool wasSet = qEnvironmentVariableIsSet("ALSA_CONFIG_PATH");
    qputenv("ALSA_CONFIG_PATH", config.fileName().toLocal8Bit());
    ExpectRefusedWithOneLineReason();
    if (wasSet)
        qputenv("ALSA_CONFIG_PATH", saved);
    else
        qunsetenv("ALSA_CONFIG_PATH");
}

} // namespace
