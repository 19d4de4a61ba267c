#include "platform/linux/desktop/xdg_shell_service.h"

#include <QThread>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// An opener that writes down the arguments it was given, one a line, then a final line "end".
class RecordingOpener : public testing::Test {
protected:
    void SetUp() override {
        directory =
            fs::temp_directory_path() / ("klavio-opener-test-" + std::to_string(::getpid()));
        fs::create_directories(directory);
        record = directory / "record";
        opener = directory / "opener";
        std::ofstream(opener) << "#!/bin/sh\n"
                              << "for argument; do printf '%s\\n' \"$argument\"; done > '"
                              << record.string() << ".part'\n"
                              << "echo end >> '" << record.string() << ".part'\n"
                              << "mv '" << record.string() << ".part' '" << record.string()
                              << "'\n";
        fs::permissions(opener, fs::perms::owner_all);
    }
    void TearDown() override { fs::remove_all(directory); }

    // What the opener wrote, once it has run; empty if it never did.
    std::string Recorded() {
        // The opener runs on its own; waiting is bounded and nothing about its speed is checked.
        for (int i = 0; i < 400 && !fs::exists(record); ++i)
            QThread::msleep(25);
        std::ifstream in(record);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path directory, record, opener;
};

TEST_F(RecordingOpener, TheLinkIsTheOpenersOneArgumentExactlyAsGiven) {
    XdgShellService shell(QString::fromStdString(opener.string()));
    const std::string canary = (directory / "canary").string();
    // Everything here would mean something to a shell.
    const std::string link = "https://www.example.org/a b?x=1&y=2;touch " + canary + " $(touch " +
                             canary + ") `touch " + canary + "` | ' \" * \\ \xFC";
    ASSERT_TRUE(shell.ShellExecuteA("open", link));
    // The 8-bit text arrives as the same characters, in the opener's UTF-8.
    EXPECT_EQ(Recorded(), link.substr(0, link.size() - 1) + "\xC3\xBC\nend\n");
    EXPECT_FALSE(fs::exists(canary));
}

TEST(XdgShellService, RefusesWhatTheOpenerWouldMisread) {
    // An opener that always starts: a false answer comes from the checks alone.
    XdgShellService shell(QStringLiteral("/bin/true"));
    struct Case {
        const char* operation;
        std::string file;
        bool started;
    };
    const std::vector<Case> cases = {
        {"open", "https://www.example.org/", true},
        {"print", "https://www.example.org/", false},
        {"open", "", false},
        {"open", "--help", false}, // would be an option of the opener
        {"open", std::string("https://www.example.org/\0x", 26), false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(shell.ShellExecuteA(c.operation, c.file), c.started)
            << c.operation << ' ' << c.file;
}

} // namespace
