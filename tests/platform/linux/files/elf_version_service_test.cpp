#include "formats/version_block.h"
#include "platform/linux/files/elf_version_service.h"
#include "tests/formats/elf_image.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

class ElfVersionFiles : public testing::Test {
protected:
    ElfVersionFiles() { fs::create_directories(directory); }
    ~ElfVersionFiles() override { fs::remove_all(directory); }

    std::string Write(const std::string& name, const Bytes& bytes) {
        std::ofstream(directory / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return (directory / name).string();
    }
    std::string WriteElf(const std::string& name, const Bytes& section,
                         const char* sectionName = kVersionSectionName) {
        return Write(name,
                     MakeElfImage({{".text", Bytes(32, 0xC3)}, {sectionName, section}}).bytes);
    }

    const fs::path directory =
        fs::temp_directory_path() / ("klavio-version-test-" + std::to_string(::getpid()));
    const Bytes block =
        BuildVersionBlock({{}, {{"040904E4", {{"ProductName", u"klavio"}}}}, {0x0409, 1252}});
    ElfVersionService service;
};

TEST_F(ElfVersionFiles, ReadsTheBlockFromItsSection) {
    Bytes padded = block;
    padded.insert(padded.end(), 12, 0); // a padded section holds the block and no more
    for (const Bytes& section : {block, padded}) {
        const std::string file = WriteElf("program", section);
        ASSERT_EQ(service.GetFileVersionInfoSizeA(file), block.size());
        Bytes data(block.size());
        ASSERT_TRUE(service.GetFileVersionInfoA(file, data));
        EXPECT_EQ(data, block);
        EXPECT_EQ(service.VerQueryValueA(data, "\\StringFileInfo\\040904E4\\ProductName"),
                  "klavio");
    }
}

TEST_F(ElfVersionFiles, FilesWithoutASoundBlockHaveNoVersionInformation) {
    const std::string text = "just some text, not a program\n";
    ASSERT_EQ(::mkfifo((directory / "pipe").c_str(), 0600), 0);
    fs::create_directory(directory / "folder");
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"no such file", (directory / "missing").string()},
        {"not ELF", Write("text", Bytes(text.begin(), text.end()))},
        {"ELF without the section", WriteElf("other", block, ".data")},
        {"block cut short", WriteElf("cut", Bytes(block.begin(), block.end() - 4))},
        {"empty section", WriteElf("empty-section", {})},
        // Reading a pipe would stall the program; a folder cannot be read.
        {"pipe", (directory / "pipe").string()},
        {"folder", (directory / "folder").string()},
    };
    for (const auto& [what, file] : cases) {
        EXPECT_EQ(service.GetFileVersionInfoSizeA(file), 0u) << what;
        Bytes data(64, 0xEE);
        EXPECT_FALSE(service.GetFileVersionInfoA(file, data)) << what;
        EXPECT_EQ(data, Bytes(64, 0xEE)) << what;
    }
}

} // namespace
