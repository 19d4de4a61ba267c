#include "platform/linux/synth/soundfont_discovery.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

namespace {

namespace fs = std::filesystem;

const std::string kDefault = "/usr/share/sounds/sf2/default-GM.sf2";
const std::string kFluid = "/usr/share/sounds/sf2/FluidR3_GM.sf2";
const std::string kFluidSf3 = "/usr/share/sounds/sf3/FluidR3_GM.sf3";
const std::string kTim = "/usr/share/sounds/sf2/TimGM6mb.sf2";

TEST(SoundFontDiscovery, NamedFileFirstThenTheInstalledGmSoundFonts) {
    const struct {
        std::string named;
        std::set<std::string> present;
        std::optional<std::string> chosen;
    } rows[] = {
        {"", {kFluid, kDefault}, kDefault},
        {"/home/me/piano.sf2", {"/home/me/piano.sf2", kDefault}, "/home/me/piano.sf2"},
        {"/home/me/gone.sf2", {kFluid}, kFluid}, // a stale setting still sounds
        {"", {kFluidSf3, kTim}, kFluidSf3},
        {"", {kTim}, kTim},
        {"", {}, std::nullopt},
        {"/home/me/gone.sf2", {}, std::nullopt},
    };
    for (const auto& row : rows) {
        const auto exists = [&](const std::string& path) { return row.present.count(path) > 0; };
        EXPECT_EQ(FindSoundFont(row.named, exists), row.chosen) << row.named;
    }
}

TEST(SoundFontDiscovery, OnlyAReadableRiffSfbkFileIsASoundFont) {
    std::string pattern = (fs::temp_directory_path() / "klavio-sf-XXXXXX").string();
    const fs::path root = ::mkdtemp(pattern.data());
    const auto write = [&](const std::string& name, const std::string& bytes) {
        std::ofstream(root / name, std::ios::binary) << bytes;
        return (root / name).string();
    };
    const std::string header("RIFF\x08\0\0\0sfbkLIST", 16);
    const std::string unreadable = write("locked.sf2", header);
    ::chmod(unreadable.c_str(), 0);
    const std::string fifo = (root / "fifo.sf2").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string path;
        std::string problem; // empty: none
        bool skipAsRoot = false;
    } rows[] = {
        {write("good.sf2", header), ""},
        {write("wave.sf2", std::string("RIFF\x10\0\0\0WAVEfmt ", 16)), "is not a SoundFont"},
        {write("short.sf2", "RIFF"), "is not a SoundFont"},
        {write("cut.sf2", std::string("RIFF\x09\0\0\0sfbkLIST", 16)), "is cut short (16 of 17"},
        {write("empty.sf2", ""), "is not a SoundFont"},
        {root.string(), "is not a regular file"},
        {fifo, "is not a regular file"}, // must not wait for a writer
        {(root / "missing.sf2").string(), "cannot be read: No such file"},
        {unreadable, "cannot be read: Permission denied", true},
    };
    for (const auto& row : rows) {
        if (row.skipAsRoot && ::geteuid() == 0)
            continue; // root reads anything
        const std::string problem = SoundFontProblem(row.path);
        if (row.problem.empty())
            EXPECT_EQ(problem, "") << row.path;
        else
            EXPECT_NE(problem.find(row.problem), std::string::npos) << problem;
        EXPECT_EQ(problem.find('\n'), std::string::npos);
    }
    fs::remove_all(root);
}

} // namespace
