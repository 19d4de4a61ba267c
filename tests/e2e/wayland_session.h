#pragma once

// A private headless Wayland compositor (sway) to run the real program on: start, find its
// window, look, click, type. Clicks go through sway's own seat commands, keys through a virtual
// keyboard of the session's own (wtype would put each character on a key code of its choosing),
// and pictures through grim.

#include <QImage>
#include <QProcess>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <cstdint>
#include <optional>

struct wl_display;
struct wl_proxy;

class WaylandSession {
public:
    WaylandSession() = default;
    ~WaylandSession();
    WaylandSession(const WaylandSession&) = delete;
    WaylandSession& operator=(const WaylandSession&) = delete;

    // The programs the session needs that are not installed, with their Debian packages.
    static QString MissingPrograms();
    // Starts the compositor with one output of this size; false and the reason otherwise.
    bool Start(QSize screen, QString& whyNot);

    // What puts a program on this compositor and nowhere else (ProgramRun's environment): no
    // X display and no platform chosen, so that Qt picks Wayland as on a user's desktop.
    QStringList Environment() const;
    // Runs swaymsg or grim against this compositor; their output, or nothing when they
    // fail or take longer than the timeout.
    std::optional<QByteArray> Run(const QString& program, const QStringList& arguments,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(20));

    // Where the window of that process is on the screen, once it is mapped.
    std::optional<QRect> WaitForWindow(qint64 pid);
    // What the screen shows there.
    QImage Grab(const QRect& area);
    // Moves the pointer to a point of the screen and presses, releases or clicks (press then
    // release) the left button there; "move" only moves.
    bool Pointer(QPoint point, const QString& action);
    // Presses or releases the key of that kernel key code (KEY_Z is 44) on a US keyboard.
    bool Key(uint32_t code, bool pressed);

private:
    bool OpenVirtualInputs(QString& whyNot);

    QTemporaryDir compositorRuntime_; // sway's sockets
    QTemporaryDir clientRuntime_;     // the program's own runtime folder
    QProcess compositor_;
    QString display_;
    QString ipc_;
    // A virtual pointer and keyboard for as long as the session lasts, there before any program
    // starts. Without a pointer device the seat offers clients no pointer, and sway's seat
    // commands would reach nobody.
    wl_display* inputs_ = nullptr;
    wl_proxy* keyboard_ = nullptr;
};
