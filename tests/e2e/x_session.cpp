#include "tests/e2e/x_session.h"

#include <QElapsedTimer>
#include <QThread>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>

namespace {

// Xlib's own handler ends the whole test on the first error, such as asking about a window that
// has just gone. The tests ask again or fail with what they saw instead.
int ReportXError(Display* display, XErrorEvent* error) {
    char text[128] = {};
    XGetErrorText(display, error->error_code, text, sizeof text);
    std::fprintf(stderr, "X error: %s (request %d, resource 0x%lx)\n", text, error->request_code,
                 error->resourceid);
    return 0;
}

} // namespace

XSession::XSession(QSize screen) {
    XSetErrorHandler(ReportXError);
    // -displayfd 1 makes the server pick a free display and print its number.
    server_.setProgram("Xvfb");
    const QString size = QStringLiteral("%1x%2x24").arg(screen.width()).arg(screen.height());
    server_.setArguments({"-displayfd", "1", "-screen", "0", size, "-nolisten", "tcp"});
    server_.start();
    if (!server_.waitForStarted(5000))
        return;
    QElapsedTimer timer;
    timer.start();
    QByteArray number;
    while (!number.contains('\n') && timer.elapsed() < 10000) {
        server_.waitForReadyRead(200);
        number += server_.readAllStandardOutput();
    }
    if (!number.contains('\n'))
        return;
    displayName_ = ":" + QString::fromLatin1(number.trimmed());
    display_ = XOpenDisplay(displayName_.toLatin1().constData());
}

XSession::~XSession() {
    if (display_)
        XCloseDisplay(display_);
    server_.terminate();
    if (!server_.waitForFinished(5000))
        server_.kill();
    server_.waitForFinished(2000);
}

std::optional<QString> XSession::Run(const QString& program, const QStringList& arguments,
                                     std::chrono::milliseconds timeout) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DISPLAY", displayName_);
    const std::optional<QByteArray> output = RunHelper(environment, program, arguments, timeout);
    return output ? std::optional(QString::fromLocal8Bit(*output)) : std::nullopt;
}

std::optional<QByteArray> RunHelper(const QProcessEnvironment& environment, const QString& program,
                                    const QStringList& arguments,
                                    std::chrono::milliseconds timeout) {
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForFinished(static_cast<int>(timeout.count()))) {
        process.kill();
        process.waitForFinished(2000);
        return std::nullopt;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return std::nullopt;
    return process.readAllStandardOutput();
}

QImage XSession::Grab(unsigned long window) {
    XWindowAttributes attributes;
    if (!display_ || !XGetWindowAttributes(display_, window, &attributes))
        return {};
    XImage* image = XGetImage(display_, window, 0, 0, static_cast<unsigned>(attributes.width),
                              static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap);
    if (!image)
        return {};
    QImage result(attributes.width, attributes.height, QImage::Format_RGB32);
    for (int y = 0; y < attributes.height; ++y)
        for (int x = 0; x < attributes.width; ++x)
            result.setPixel(x, y, 0xFF000000u | (XGetPixel(image, x, y) & 0xFFFFFFu));
    XDestroyImage(image);
    return result;
}

void XSession::RequestClose(unsigned long window) {
    if (!display_)
        return;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display_, window, False, NoEventMask, &event);
    XFlush(display_);
}

bool XSession::KeyRepeatOn() {
    if (!display_)
        return false;
    XAutoRepeatOn(display_);
    XKeyboardState state{};
    XGetKeyboardControl(display_, &state);
    return state.global_auto_repeat == AutoRepeatModeOn;
}

std::optional<unsigned long> XSession::OpenOtherWindow() {
    if (!display_)
        return std::nullopt;
    const Window window = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 900, 700, 100,
                                              100, 0, 0, 0xFFFFFF);
    XMapWindow(display_, window);
    XSync(display_, False);
    return window;
}

ProgramRun::ProgramRun(XSession& session, const QString& binary, const QStringList& extra,
                       const QStringList& arguments)
    : ProgramRun(session.Environment(), binary, extra, arguments) {
    session_ = &session;
}

ProgramRun::ProgramRun(const QStringList& sessionEnvironment, const QString& binary,
                       const QStringList& extra, const QStringList& arguments) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_CONFIG_HOME", configHome_.path());
    // The machine's AccountsService would otherwise choose the language over the test's files.
    environment.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + configHome_.filePath("no-bus"));
    for (const QString& entry : sessionEnvironment + extra) {
        if (entry.contains('='))
            environment.insert(entry.section('=', 0, 0), entry.section('=', 1));
        else
            environment.remove(entry);
    }
    process_.setProcessEnvironment(environment);
    process_.setProcessChannelMode(QProcess::MergedChannels);
    process_.start(binary, arguments);
    process_.waitForStarted(5000);
}

ProgramRun::~ProgramRun() {
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

std::optional<unsigned long> ProgramRun::WaitForWindow(const QString& title) {
    // This program's window: another instance's may have the same title.
    if (session_ == nullptr)
        return std::nullopt;
    const auto found = session_->Run("xdotool", {"search", "--sync", "--onlyvisible", "--all",
                                                 "--pid", QString::number(process_.processId()),
                                                 "--name", "^" + title + "$"});
    if (!found || found->trimmed().isEmpty())
        return std::nullopt;
    bool ok = false;
    const unsigned long window = found->split('\n').first().trimmed().toULong(&ok);
    return ok ? std::optional(window) : std::nullopt;
}

bool ProgramRun::WaitForExit(std::chrono::milliseconds timeout) {
    return process_.waitForFinished(static_cast<int>(timeout.count()));
}

QString ProgramRun::Output() {
    return QString::fromLocal8Bit(process_.readAll());
}

bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeout.count()) {
        if (condition())
            return true;
        QThread::msleep(20);
    }
    return condition();
}

std::optional<QPoint> FindKeyboard(const QImage& shot, int scale) {
    constexpr QRgb black = 0xFF000000;
    constexpr QRgb white = 0xFFFFFFFF;
    const int width = 780 * scale;
    const int height = 75 * scale;
    for (int y = 0; y + height <= shot.height(); ++y) {
        int run = 0;
        for (int x = 0; x < shot.width(); ++x) {
            run = shot.pixel(x, y) == black ? run + 1 : 0;
            if (run != width)
                continue;
            const int left = x - width + 1;
            if (shot.pixel(left, y + height - 1) == black &&
                shot.pixel(x, y + height - 1) == black &&
                shot.pixel(left + scale, y + scale) == white)
                return QPoint(left, y);
        }
    }
    return std::nullopt;
}

std::optional<QPoint> WaitForKeyboard(XSession& session, unsigned long window) {
    std::optional<QPoint> keyboard;
    Eventually([&] { return (keyboard = FindKeyboard(session.Grab(window))).has_value(); });
    return keyboard;
}
