#pragma once

// A private X display with the real program on it: start, look, click, close.

#include <QImage>
#include <QProcess>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <functional>
#include <optional>

struct _XDisplay;

class XSession {
public:
    // screen: the display's size in pixels; a window drawn at twice the size needs a larger one.
    explicit XSession(QSize screen = QSize(1280, 1024));
    ~XSession();
    XSession(const XSession&) = delete;
    XSession& operator=(const XSession&) = delete;

    bool Started() const { return display_ != nullptr; }
    QString DisplayName() const { return displayName_; }
    // What puts a program on this display (ProgramRun's environment).
    QStringList Environment() const { return {"DISPLAY=" + displayName_, "QT_QPA_PLATFORM=xcb"}; }

    // Runs a helper program (xdotool) on this display and returns its standard output,
    // or nothing when it fails or takes longer than the timeout.
    std::optional<QString> Run(const QString& program, const QStringList& arguments,
                               std::chrono::milliseconds timeout = std::chrono::seconds(20));

    // What the display shows inside a top-level window.
    QImage Grab(unsigned long window);
    // Asks a window to close, as a window manager's close button does.
    void RequestClose(unsigned long window);
    // Turns the server's key repeat on for every key and tells whether it is on.
    bool KeyRepeatOn();
    // A plain window of another client, mapped, to take the focus from the program.
    std::optional<unsigned long> OpenOtherWindow();

private:
    QProcess server_;
    QString displayName_;
    _XDisplay* display_ = nullptr;
};

// The program under test, started on a session's display.
class ProgramRun {
public:
    // environment: NAME=value entries added to the test's own environment, NAME alone taken out
    // of it. Without an XDG_CONFIG_HOME among them the program gets an empty configuration folder
    // of its own, so that no test reads or changes the settings of the user running it.
    ProgramRun(XSession& session, const QString& binary, const QStringList& environment = {},
               const QStringList& arguments = {});
    // On another window system, whose session's environment goes first; no WaitForWindow.
    ProgramRun(const QStringList& sessionEnvironment, const QString& binary,
               const QStringList& environment = {}, const QStringList& arguments = {});
    ~ProgramRun();

    // The program's own main window, once it is mapped.
    std::optional<unsigned long> WaitForWindow(const QString& title);
    // Asks the program to stop with SIGTERM, as a desktop session does when it ends.
    void Terminate() { process_.terminate(); }
    // True when the program ended within the timeout.
    bool WaitForExit(std::chrono::milliseconds timeout);
    int ExitCode() const { return process_.exitCode(); }
    qint64 Pid() const { return process_.processId(); }
    bool CrashedOrKilled() const { return process_.exitStatus() != QProcess::NormalExit; }
    QString Output();

private:
    XSession* session_ = nullptr;
    QTemporaryDir configHome_;
    QProcess process_;
};

// Runs a helper program in that environment and returns its standard output, or nothing when
// it fails or takes longer than the timeout.
std::optional<QByteArray> RunHelper(const QProcessEnvironment& environment, const QString& program,
                                    const QStringList& arguments,
                                    std::chrono::milliseconds timeout);

// Polls until the condition holds: the program draws and answers in its own time.
bool Eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = std::chrono::seconds(20));

// The keyboard's top-left corner in a window picture: the only place with a black outline of
// its size (780 x 75, times the scale the window is drawn at) around a white key.
std::optional<QPoint> FindKeyboard(const QImage& shot, int scale = 1);
// The keyboard's corner once the window shows it; nothing when it never does.
std::optional<QPoint> WaitForKeyboard(XSession& session, unsigned long window);
