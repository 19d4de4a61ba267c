#include "platform/linux/files/linux_registry.h"

#include "formats/reg_file.h"
#include "tests/fakes/fake_log_sink.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

unsigned Mode(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_mode & 0777;
}

class LinuxRegistryFile : public testing::Test {
protected:
    LinuxRegistryFile() {
        std::string pattern = (fs::temp_directory_path() / "klavio-registry-XXXXXX").string();
        root_ = ::mkdtemp(pattern.data());
        file = root_ / "config" / "klavio" / "registry.reg";
    }
    ~LinuxRegistryFile() override { fs::remove_all(root_); }

    // A registry that gives up waiting for the lock at once.
    std::unique_ptr<LinuxRegistry> Registry(std::chrono::milliseconds lockWait = {}) {
        return std::make_unique<LinuxRegistry>(file.string(), log, lockWait);
    }

    fs::path root_;
    fs::path file;
    FakeLogSink log;
};

const std::string kKey = "\\Software\\Varnholm\\klavio";

TEST_F(LinuxRegistryFile, EveryValueComesBackFromTheFileInTheOrderWritten) {
    struct Row {
        std::string name;
        std::int32_t number;
        std::string text;
    };
    const std::vector<Row> rows{
        {"BaseOctave", 1, "A"},
        {"negative", -1, ""},
        {"lowest", INT32_MIN, "quotes \"x\" and \"\""},
        {"highest", INT32_MAX, "back\\slash \\\\ and a final \\"},
        {"a=b \"quoted\" \\name\\", 0, "x=y"},
        {"Grüße aus Köln", 17, "Kanäle Ünïcödé ♪"},
        {"90 3C 7F", 1, "  blanks kept  "},
    };
    {
        auto registry = Registry()->Access();
        ASSERT_TRUE(registry->OpenKey(kKey, true));
        for (const Row& row : rows) {
            registry->WriteInteger(row.name + " number", row.number);
            registry->WriteString(row.name + " text", row.text);
        }
        registry->WriteBool("flag", true);
        registry->CloseKey();
    }
    auto registry = Registry()->Access();
    ASSERT_TRUE(registry->OpenKey(kKey, false));
    std::vector<std::string> names;
    for (const Row& row : rows) {
        EXPECT_EQ(registry->ReadInteger(row.name + " number"), row.number) << row.name;
        EXPECT_EQ(registry->ReadString(row.name + " text"), row.text) << row.name;
        names.push_back(row.name + " number");
        names.push_back(row.name + " text");
    }
    EXPECT_EQ(registry->ReadInteger("flag"), 1);
    names.push_back("flag");
    EXPECT_EQ(registry->GetValueNames(), names);
    EXPECT_TRUE(log.messages.empty());
}

TEST_F(LinuxRegistryFile, TheFileIsARegistryExportOnlyItsOwnerCanRead) {
    {
        auto registry = Registry()->Access();
        ASSERT_TRUE(registry->OpenKey(kKey, true));
        registry->WriteInteger("BaseOctave", 3);
        registry->WriteString("MIDIOutDevice", "Synth");
        registry->CloseKey();
    }
    EXPECT_EQ(ReadFile(file), "REGEDIT4\r\n"
                              "\r\n[HKEY_CURRENT_USER\\Software]\r\n"
                              "\r\n[HKEY_CURRENT_USER\\Software\\Varnholm]\r\n"
                              "\r\n[HKEY_CURRENT_USER\\Software\\Varnholm\\klavio]\r\n"
                              "\"BaseOctave\"=dword:00000003\r\n"
                              "\"MIDIOutDevice\"=\"Synth\"\r\n");
    EXPECT_EQ(Mode(file), 0600u);
    EXPECT_EQ(Mode(file.parent_path()), 0700u);
    EXPECT_FALSE(fs::exists(file.string() + ".tmp"));
}

TEST_F(LinuxRegistryFile, DeletingAKeyTakesItsValuesAndSubkeysForGood) {
    {
        auto registry = Registry()->Access();
        ASSERT_TRUE(registry->OpenKey(kKey + "\\Cmds\\Below", true));
        registry->WriteInteger("deep", 1);
        ASSERT_TRUE(registry->OpenKey(kKey + "\\Cmds", false));
        registry->WriteInteger("90 3C 7F", 1);
        ASSERT_TRUE(registry->OpenKey(kKey, false));
        registry->WriteInteger("BaseOctave", 2);
        registry->CloseKey();
        EXPECT_TRUE(registry->DeleteKey(kKey + "\\Cmds"));
        EXPECT_FALSE(registry->DeleteKey(kKey + "\\Cmds"));
    } // kept when the access ends, even without a CloseKey after it
    auto registry = Registry()->Access();
    EXPECT_FALSE(registry->OpenKey(kKey + "\\Cmds", false));
    EXPECT_FALSE(registry->OpenKey(kKey + "\\Cmds\\Below", false));
    ASSERT_TRUE(registry->OpenKey(kKey, false));
    EXPECT_EQ(registry->ReadInteger("BaseOctave"), 2);
}

TEST_F(LinuxRegistryFile, AValueOfTheWrongTypeOrMissingIsAnErrorTheCallerCatches) {
    auto registry = Registry()->Access();
    ASSERT_TRUE(registry->OpenKey(kKey, true));
    registry->WriteString("BaseOctave", "3");
    registry->WriteInteger("MIDIInDevice", 1);
    EXPECT_THROW(registry->ReadInteger("BaseOctave"), RegistryError);
    EXPECT_THROW(registry->ReadString("MIDIInDevice"), RegistryError);
    EXPECT_THROW(registry->ReadInteger("missing"), RegistryError);
    // A name or text the file cannot hold is refused, not written half.
    EXPECT_THROW(registry->WriteInteger("two\nlines", 1), RegistryError);
    EXPECT_THROW(registry->WriteString("text", "two\r\nlines"), RegistryError);
    EXPECT_FALSE(registry->ValueExists("text"));
    registry->CloseKey();
    EXPECT_THROW(registry->WriteInteger("no key open", 1), RegistryError);
    EXPECT_FALSE(registry->OpenKey("\\Software\\\\", true)); // no maker and no product name
}

TEST_F(LinuxRegistryFile, ADamagedFileIsKeptAsideReportedAndNeverOverwritten) {
    fs::create_directories(file.parent_path());
    const std::string damaged = "REGEDIT4\r\n[HKEY_CURRENT_USER\\Software]\r\n\"a\"=dword:xyz\r\n";
    const std::string damagedAgain = "not a registry file";
    for (const std::string& text : {damaged, damagedAgain}) {
        WriteFile(file, text);
        auto registry = Registry()->Access();
        // Defaults: the damaged file's keys are not there.
        EXPECT_FALSE(registry->OpenKey("\\Software", false));
        ASSERT_TRUE(registry->OpenKey(kKey, true));
        registry->WriteInteger("BaseOctave", 5);
        registry->CloseKey();
    }
    EXPECT_EQ(ReadFile(file.string() + ".corrupt"), damaged);
    EXPECT_EQ(ReadFile(file.string() + ".2.corrupt"), damagedAgain);
    ASSERT_EQ(log.messages.size(), 2u);
    EXPECT_NE(log.messages[0].find("line 3"), std::string::npos) << log.messages[0];
    EXPECT_NE(log.messages[0].find(file.string() + ".corrupt"), std::string::npos);
    EXPECT_NE(log.messages[1].find(file.string() + ".2.corrupt"), std::string::npos);
    EXPECT_TRUE(ParseRegFile(ReadFile(file)).hive);
}

TEST_F(LinuxRegistryFile, AFileThatCannotBeReadIsNotReplaced) {
    // Even root cannot read a folder as a file.
    fs::create_directories(file);
    auto registry = Registry()->Access();
    ASSERT_TRUE(registry->OpenKey(kKey, true));
    registry->WriteInteger("BaseOctave", 5);
    EXPECT_THROW(registry->CloseKey(), RegistryError);
    EXPECT_TRUE(fs::is_directory(file));
    ASSERT_EQ(log.messages.size(), 1u);
    EXPECT_NE(log.messages[0].find("cannot read"), std::string::npos) << log.messages[0];
}

// A pipe or a device in the file's place is not ours: nothing waits on it, reads it or replaces
// it.
TEST_F(LinuxRegistryFile, SomethingOtherThanAFileIsReportedAndLeftAlone) {
    fs::create_directories(file.parent_path());
    const std::vector<std::pair<std::string, std::function<void()>>> rows{
        {"a named pipe", [this] { ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0); }},
        {"a link to an endless device", [this] { fs::create_symlink("/dev/zero", file); }},
    };
    for (const auto& [what, make] : rows) {
        make();
        const fs::file_type type = fs::symlink_status(file).type();
        auto opening = std::async(std::launch::async, [this] { return Registry()->Access(); });
        if (opening.wait_for(std::chrono::seconds(10)) == std::future_status::timeout) {
            ADD_FAILURE() << what << ": the start waits for it";
            ::close(::open(file.c_str(), O_WRONLY | O_NONBLOCK)); // a writer ends the wait
        }
        auto registry = opening.get();
        ASSERT_TRUE(registry->OpenKey(kKey, true));
        registry->WriteInteger("BaseOctave", 5);
        EXPECT_THROW(registry->CloseKey(), RegistryError) << what;
        ASSERT_EQ(log.messages.size(), 1u) << what;
        EXPECT_NE(log.messages[0].find("not a regular file"), std::string::npos) << log.messages[0];
        registry.reset();
        EXPECT_EQ(fs::symlink_status(file).type(), type) << what;
        EXPECT_FALSE(fs::exists(file.string() + ".corrupt")) << what;
        fs::remove(file);
        log.messages.clear();
    }
}

// Whatever the history holds, a save writes a file the next start reads: what does not fit is
// left out from the end, the oldest commands first, and reported.
TEST_F(LinuxRegistryFile, ASaveNeverWritesAFileTooLargeForTheNextStart) {
    const auto commands = [](std::size_t count, std::size_t size) {
        std::vector<std::string> names;
        for (std::size_t i = 0; i < count; ++i)
            names.push_back(std::to_string(i) + std::string(size, ' ') + "F7");
        return names;
    };
    // Saves the commands with the given limit and reads back what the next start finds.
    const auto roundTrip = [this](const std::vector<std::string>& names, std::size_t maxSize) {
        fs::remove(file);
        LinuxRegistry registry(file.string(), log, {}, maxSize);
        {
            auto access = registry.Access();
            EXPECT_TRUE(access->OpenKey(kKey + "\\Cmds", true));
            for (const std::string& name : names)
                access->WriteBool(name, true);
            access->CloseKey();
        }
        auto access = registry.Access();
        return access->OpenKey(kKey + "\\Cmds", false) ? access->GetValueNames()
                                                       : std::vector<std::string>();
    };
    const std::vector<std::string> few = commands(100, 1);
    roundTrip(few, kMaxRegFileSize);
    const std::size_t whole = fs::file_size(file);
    struct Row {
        std::string what;
        std::vector<std::string> names;
        std::size_t maxSize;
        bool leftOut;
    };
    const std::vector<Row> rows{
        {"below the limit", few, whole + 1, false},
        {"at the limit", few, whole, false},
        {"one byte above the limit", few, whole - 1, true},
        {"above the real limit", commands(1100, kMaxValueNameSize - 10), kMaxRegFileSize, true},
    };
    for (const Row& row : rows) {
        log.messages.clear();
        const std::vector<std::string> read = roundTrip(row.names, row.maxSize);
        EXPECT_LE(fs::file_size(file), row.maxSize) << row.what;
        EXPECT_EQ(read.size() < row.names.size(), row.leftOut) << row.what << ": " << read.size();
        EXPECT_TRUE(std::equal(read.begin(), read.end(), row.names.begin())) << row.what;
        ASSERT_EQ(log.messages.size(), row.leftOut ? 1u : 0u) << row.what;
        if (row.leftOut) {
            EXPECT_NE(log.messages[0].find("not saved"), std::string::npos) << log.messages[0];
        }
        EXPECT_FALSE(fs::exists(file.string() + ".corrupt")) << row.what;
    }
}

// A save that stops half-way (here at the file size limit, as on a full disk) leaves the file
// as it was and no half-written file behind.
TEST_F(LinuxRegistryFile, ASaveInterruptedBeforeTheRenameLeavesTheOldFileWhole) {
    {
        auto registry = Registry()->Access();
        ASSERT_TRUE(registry->OpenKey(kKey, true));
        registry->WriteInteger("BaseOctave", 3);
        registry->CloseKey();
    }
    const std::string before = ReadFile(file);

    auto registry = Registry()->Access();
    ASSERT_TRUE(registry->OpenKey(kKey, true));
    registry->WriteInteger("BaseOctave", 7);
    registry->WriteString("long", std::string(4096, 'x'));
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = old;
    limit.rlim_cur = 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    bool failed = false;
    try {
        registry->CloseKey();
    } catch (const RegistryError&) {
        failed = true;
    }
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_TRUE(failed);
    EXPECT_EQ(ReadFile(file), before);
    EXPECT_FALSE(fs::exists(file.string() + ".tmp"));
    // The change is still there to be saved once there is room.
    registry.reset();
    auto again = Registry()->Access();
    ASSERT_TRUE(again->OpenKey(kKey, false));
    EXPECT_EQ(again->ReadInteger("BaseOctave"), 7);
}

// Two programs each add one to a counter many times; the lock keeps every read-modify-write
// whole, so none of the additions is lost.
TEST_F(LinuxRegistryFile, TwoProgramsNeverMixTheirChanges) {
    constexpr int kRounds = 40;
    const auto count = [this](std::unique_ptr<LinuxRegistry> service) {
        for (int round = 0; round < kRounds; ++round) {
            auto registry = service->Access();
            if (!registry->OpenKey(kKey, true))
                return false;
            const int now = registry->ValueExists("count") ? registry->ReadInteger("count") : 0;
            registry->WriteInteger("count", now + 1);
            registry->CloseKey();
        }
        return true;
    };
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        ::_exit(count(Registry(std::chrono::seconds(60))) ? 0 : 1);
    const bool counted = count(Registry(std::chrono::seconds(60)));
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(counted);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    auto registry = Registry()->Access();
    ASSERT_TRUE(registry->OpenKey(kKey, false));
    EXPECT_EQ(registry->ReadInteger("count"), 2 * kRounds);
}

TEST(RegistryFilePath, FollowsTheXdgConfigFolderAndFallsBackToHome) {
    struct Row {
        const char* xdgConfigHome;
        const char* home;
        std::string file;
    };
    const std::vector<Row> rows{
        {"/x/conf", "/home/u", "/x/conf/klavio/registry.reg"},
        {nullptr, "/home/u", "/home/u/.config/klavio/registry.reg"},
        {"", "/home/u", "/home/u/.config/klavio/registry.reg"},
        {"relative/conf", "/home/u", "/home/u/.config/klavio/registry.reg"},
        {nullptr, nullptr, ""},
        {nullptr, "relative", ""},
    };
    for (const Row& row : rows)
        EXPECT_EQ(RegistryFilePath(row.xdgConfigHome, row.home), row.file)
            << (row.xdgConfigHome ? row.xdgConfigHome : "(unset)") << ", "
            << (row.home ? row.home : "(unset)");
}

} // namespace
