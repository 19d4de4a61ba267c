#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <vector>

namespace {

// klavio as a terminal user starts it on a machine without a display; its settings go to a
// folder of the test's own.
QProcessEnvironment WithoutDisplay(const QTemporaryDir& configHome) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome.path());
    return environment;
}

bool Matches(const QString& pattern, const QByteArray& output) {
    const QRegularExpression expression(QRegularExpression::anchoredPattern(pattern),
                                        QRegularExpression::DotMatchesEverythingOption);
    return expression.match(QString::fromUtf8(output)).hasMatch();
}

TEST(CommandLineRun, EachRequestIsAnsweredWithoutOpeningAWindow) {
    struct Row {
        QStringList arguments;
        int exitCode;
        QString output; // patterns for the whole of standard output and standard error
        QString errors;
    };
    const QString version =
        "klavio " + QRegularExpression::escape(KLAVIO_VERSION) + R"( \(\d+\)\n)";
    const QString usage = R"(Usage: klavio \[OPTION\]\.\.\.\n.*--version.*klavio\(1\).*\n)";
    const std::vector<Row> rows{
        {{"--help"}, 0, usage, ""},
        {{"-h"}, 0, usage, ""},
        {{"--version"}, 0, version, ""},
        {{"-v"}, 0, version, ""},
        {{"-platform", "xcb", "--version"}, 0, version, ""},
        {{"--foo"}, 2, "", R"(klavio: unknown option '--foo'; try 'klavio --help'\n)"},
        {{"song.mid"}, 2, "", R"(klavio: unexpected argument 'song\.mid'; try 'klavio --help'\n)"},
    };
    const QTemporaryDir configHome;
    for (const Row& row : rows) {
        const std::string line = row.arguments.join(' ').toStdString();
        QProcess klavio;
        klavio.setProcessEnvironment(WithoutDisplay(configHome));
        klavio.start(QStringLiteral(KLAVIO_BINARY), row.arguments);
        ASSERT_TRUE(klavio.waitForFinished(60'000)) << line;
        const QByteArray output = klavio.readAllStandardOutput();
        const QByteArray errors = klavio.readAllStandardError();
        EXPECT_EQ(klavio.exitStatus(), QProcess::NormalExit) << line;
        EXPECT_EQ(klavio.exitCode(), row.exitCode) << line << ": " << errors.toStdString();
        EXPECT_TRUE(Matches(row.output, output)) << line << ": " << output.toStdString();
        EXPECT_TRUE(Matches(row.errors, errors)) << line << ": " << errors.toStdString();
    }
}

// Qt's own options still reach Qt: without a display only the offscreen platform can start.
TEST(CommandLineRun, QtsPlatformOptionIsPassedOnToQt) {
    const QTemporaryDir configHome;
    QProcess klavio;
    klavio.setProcessEnvironment(WithoutDisplay(configHome));
    klavio.setProcessChannelMode(QProcess::MergedChannels);
    klavio.start(QStringLiteral(KLAVIO_BINARY), {"-platform", "offscreen"});
    // The MIDI service names itself once the stop signals are handled.
    QByteArray output;
    while (!output.contains("klavio: ") && klavio.waitForReadyRead(60'000))
        output += klavio.readAll();
    ASSERT_EQ(klavio.state(), QProcess::Running) << output.toStdString();
    klavio.terminate();
    ASSERT_TRUE(klavio.waitForFinished(60'000));
    EXPECT_EQ(klavio.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(klavio.exitCode(), 0) << (output + klavio.readAll()).toStdString();
}

} // namespace
