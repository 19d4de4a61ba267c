#include "tests/e2e/x_session.h"

#include <QElapsedTimer>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <functional>
#include <optional>

namespace {

using namespace std::chrono_literals;

// Replaces the desktop's language setting at once, as the desktop's settings do: the program
// never reads half a file.
bool WriteLocaleConf(const QTemporaryDir& config, const QByteArray& text) {
    QSaveFile file(config.filePath(QStringLiteral("locale.conf")));
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit();
}

// The window's picture once drawing has finished: two grabs a moment apart that agree.
QImage SettledPicture(XSession& session, unsigned long window) {
    QImage settled;
    Eventually(
        [&] {
            const QImage first = session.Grab(window);
            QThread::msleep(300);
            settled = session.Grab(window);
            return !settled.isNull() && settled == first;
        },
        20s);
    return settled;
}

struct LanguageRun {
    QTemporaryDir config;
    std::optional<ProgramRun> program;
    std::optional<unsigned long> window;
};

// Starts klavio with its own configuration folder holding a locale.conf of the language.
void Start(XSession& session, LanguageRun& run, const QByteArray& localeConf) {
    ASSERT_TRUE(run.config.isValid());
    ASSERT_TRUE(WriteLocaleConf(run.config, localeConf));
    run.program.emplace(session, KLAVIO_BINARY,
                        QStringList{QStringLiteral("XDG_CONFIG_HOME=") + run.config.path()});
    run.window = run.program->WaitForWindow("klavio");
    ASSERT_TRUE(run.window) << "no klavio window: " << run.program->Output().toStdString();
}

void Close(XSession& session, LanguageRun& run) {
    session.RequestClose(*run.window);
    ASSERT_TRUE(run.program->WaitForExit(20s)) << "klavio did not end after its window closed";
    EXPECT_FALSE(run.program->CrashedOrKilled());
    EXPECT_EQ(run.program->ExitCode(), 0) << run.program->Output().toStdString();
}

// The captions are judged by their pictures: the running window, switched to English, must look
// exactly like a window that started in English, down to the pixel, and differ from it while it
// is German. Nothing else in the window changes between the runs (no note is played, no device
// chosen, no settings saved before), so the captions are what tells the pictures apart.
TEST(Language, RunningWindowFollowsTheDesktopLanguageBothWays) {
    XSession session;
    ASSERT_TRUE(session.Started()) << "Xvfb did not start";

    LanguageRun reference;
    Start(session, reference, "LANG=en_US.UTF-8\n");
    if (HasFatalFailure())
        return;
    const QImage english = SettledPicture(session, *reference.window);
    ASSERT_FALSE(english.isNull());
    Close(session, reference);

    LanguageRun run;
    Start(session, run, "LANG=de_DE.UTF-8\n");
    if (HasFatalFailure())
        return;
    const QImage german = SettledPicture(session, *run.window);
    ASSERT_FALSE(german.isNull());
    ASSERT_EQ(german.size(), english.size());
    EXPECT_NE(german, english) << "the window started in German looks as the English one";

    // The language poll runs once a second: the window follows within two.
    ASSERT_TRUE(WriteLocaleConf(run.config, "LANG=en_GB.UTF-8\n"));
    EXPECT_TRUE(Eventually([&] { return session.Grab(*run.window) == english; }, 2s))
        << "the window did not switch to its English captions";

    ASSERT_TRUE(WriteLocaleConf(run.config, "# set by the desktop\nLANG=\"de_AT.UTF-8\"\n"));
    EXPECT_TRUE(Eventually([&] { return session.Grab(*run.window) == german; }, 2s))
        << "the window did not switch back to its German captions";

    Close(session, run);
}

} // namespace
