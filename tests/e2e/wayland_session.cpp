#include "tests/e2e/wayland_session.h"

#include "tests/e2e/x_session.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <chrono>
#include <cstring>
#include <utility>

namespace {

// The few requests of the virtual input protocols this needs, in their protocols' order: wlroots'
// virtual pointer, only to be there, and the virtual keyboard, which has its own key map.
const wl_interface kVirtualPointer = {"zwlr_virtual_pointer_v1", 1, 0, nullptr, 0, nullptr};
const wl_interface* kCreatePointerTypes[] = {&wl_seat_interface, &kVirtualPointer};
const wl_message kPointerManagerRequests[] = {
    {"create_virtual_pointer", "?on", kCreatePointerTypes}};
const wl_interface kPointerManager = {"zwlr_virtual_pointer_manager_v1", 1, 1,
                                      kPointerManagerRequests,           0, nullptr};

const wl_interface* kNoTypes[] = {nullptr, nullptr, nullptr};
const wl_message kKeyboardRequests[] = {{"keymap", "uhu", kNoTypes}, {"key", "uuu", kNoTypes}};
const wl_interface kVirtualKeyboard = {"zwp_virtual_keyboard_v1", 1, 2,
                                       kKeyboardRequests,         0, nullptr};
const wl_interface* kCreateKeyboardTypes[] = {&wl_seat_interface, &kVirtualKeyboard};
const wl_message kKeyboardManagerRequests[] = {
    {"create_virtual_keyboard", "on", kCreateKeyboardTypes}};
const wl_interface kKeyboardManager = {"zwp_virtual_keyboard_manager_v1", 1, 1,
                                       kKeyboardManagerRequests,          0, nullptr};

// A US keyboard, its key codes those of the kernel as on a real one: the program plays by where
// a key is, not by what it says. The compositor and the program read the parts it names from
// the machine's keyboard data.
constexpr char kUsKeymap[] = "xkb_keymap {\n"
                             "  xkb_keycodes { include \"evdev+aliases(qwerty)\" };\n"
                             "  xkb_types { include \"complete\" };\n"
                             "  xkb_compat { include \"complete\" };\n"
                             "  xkb_symbols { include \"pc+us+inet(evdev)\" };\n"
                             "};\n";

struct Globals {
    uint32_t seat = 0;
    uint32_t pointerManager = 0;
    uint32_t keyboardManager = 0;
};

void NoteGlobal(void* globals, wl_registry*, uint32_t name, const char* interface, uint32_t) {
    auto& found = *static_cast<Globals*>(globals);
    for (auto [wanted, place] : {std::pair(&wl_seat_interface, &found.seat),
                                 std::pair(&kPointerManager, &found.pointerManager),
                                 std::pair(&kKeyboardManager, &found.keyboardManager)})
        if (std::strcmp(interface, wanted->name) == 0 && *place == 0)
            *place = name;
}
void IgnoreRemoval(void*, wl_registry*, uint32_t) {}
const wl_registry_listener kRegistryListener = {NoteGlobal, IgnoreRemoval};

wl_proxy* Bind(wl_registry* registry, uint32_t name, const wl_interface& interface) {
    return static_cast<wl_proxy*>(wl_registry_bind(registry, name, &interface, 1));
}

// The key map as a file to hand over, or -1.
int KeymapFile() {
    const int file = memfd_create("klavio-test-keymap", MFD_CLOEXEC);
    if (file >= 0 && write(file, kUsKeymap, sizeof kUsKeymap) == sizeof kUsKeymap)
        return file;
    if (file >= 0)
        close(file);
    return -1;
}

// The first entry of the folder whose name matches, as a full path; empty when there is none.
QString Find(const QString& folder, const QString& pattern) {
    const QStringList found = QDir(folder).entryList({pattern}, QDir::System);
    return found.isEmpty() ? QString() : folder + "/" + found.first();
}

// The node of the layout tree that shows the window of this process, or an empty object.
QJsonObject WindowOf(const QJsonObject& node, qint64 pid) {
    if (node["pid"].toInteger() == pid && node["visible"].toBool())
        return node;
    for (const char* children : {"nodes", "floating_nodes"})
        for (const QJsonValue child : node[children].toArray())
            if (const QJsonObject found = WindowOf(child.toObject(), pid); !found.isEmpty())
                return found;
    return {};
}

QRect RectOf(const QJsonValue& value) {
    const QJsonObject rect = value.toObject();
    return QRect(rect["x"].toInt(), rect["y"].toInt(), rect["width"].toInt(),
                 rect["height"].toInt());
}

} // namespace

WaylandSession::~WaylandSession() {
    if (keyboard_ != nullptr)
        wl_proxy_destroy(keyboard_);
    if (inputs_ != nullptr)
        wl_display_disconnect(inputs_);
    compositor_.terminate();
    if (!compositor_.waitForFinished(5000))
        compositor_.kill();
    compositor_.waitForFinished(2000);
}

QString WaylandSession::MissingPrograms() {
    QStringList missing;
    for (const char* program : {"sway", "swaymsg", "grim"})
        if (QStandardPaths::findExecutable(program).isEmpty())
            missing << program;
    return missing.isEmpty() ? QString() : missing.join(", ") + " (Debian packages sway, grim)";
}

bool WaylandSession::Start(QSize screen, QString& whyNot) {
    const QString config = compositorRuntime_.filePath("config");
    QFile file(config);
    // No X server, no border: the window's picture is the program's alone. Every window
    // floats at the size it asks for rather than being tiled to fill the screen. A held key
    // repeats soon, as on a desktop.
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(QStringLiteral("xwayland disable\n"
                                  "output HEADLESS-1 resolution %1x%2 position 0 0\n"
                                  "default_border none\n"
                                  "default_floating_border none\n"
                                  "for_window [app_id=\".*\"] floating enable\n"
                                  "input type:keyboard repeat_delay 250\n"
                                  "input type:keyboard repeat_rate 25\n")
                       .arg(screen.width())
                       .arg(screen.height())
                       .toUtf8()) < 0) {
        whyNot = "cannot write " + config;
        return false;
    }
    file.close();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "SWAYSOCK"})
        environment.remove(name);
    environment.insert("XDG_RUNTIME_DIR", compositorRuntime_.path());
    environment.insert("WLR_BACKENDS", "headless");
    environment.insert("WLR_LIBINPUT_NO_DEVICES", "1");
    environment.insert("WLR_RENDERER", "pixman"); // no GPU needed
    compositor_.setProcessEnvironment(environment);
    // A file, not a pipe that nobody reads while the test runs and that could fill up.
    const QString log = compositorRuntime_.filePath("log");
    compositor_.setProcessChannelMode(QProcess::MergedChannels);
    compositor_.setStandardOutputFile(log);
    QStringList command{"sway", "--config", config};
    // sway refuses to run as root; as root, the test gives it a user of its own.
    if (geteuid() == 0) {
        if (chown(compositorRuntime_.path().toLocal8Bit().constData(), 65534, 65534) != 0) {
            whyNot = "cannot hand " + compositorRuntime_.path() + " to nobody";
            return false;
        }
        command =
            QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"} + command;
    }
    compositor_.start(command.takeFirst(), command);
    const bool ready = Eventually([&] {
        if (compositor_.state() == QProcess::NotRunning)
            return true;
        display_ = Find(compositorRuntime_.path(), "wayland-?");
        ipc_ = Find(compositorRuntime_.path(), "sway-ipc.*.sock");
        return !display_.isEmpty() && !ipc_.isEmpty() && Run("swaymsg", {"-t", "get_outputs"});
    });
    if (!ready || compositor_.state() == QProcess::NotRunning) {
        QFile output(log);
        output.open(QIODevice::ReadOnly);
        whyNot = "sway did not start: " + QString::fromLocal8Bit(output.readAll());
        return false;
    }
    return OpenVirtualInputs(whyNot);
}

bool WaylandSession::OpenVirtualInputs(QString& whyNot) {
    inputs_ = wl_display_connect(display_.toLocal8Bit().constData());
    if (inputs_ == nullptr) {
        whyNot = "cannot connect to sway";
        return false;
    }
    wl_registry* registry = wl_display_get_registry(inputs_);
    Globals globals;
    wl_registry_add_listener(registry, &kRegistryListener, &globals);
    wl_display_roundtrip(inputs_);
    if (globals.seat != 0 && globals.pointerManager != 0 && globals.keyboardManager != 0) {
        wl_proxy* seat = Bind(registry, globals.seat, wl_seat_interface);
        wl_proxy* pointers = Bind(registry, globals.pointerManager, kPointerManager);
        wl_proxy* keyboards = Bind(registry, globals.keyboardManager, kKeyboardManager);
        // Forgotten on this side only: the devices last as long as the connection.
        wl_proxy_destroy(
            wl_proxy_marshal_flags(pointers, 0, &kVirtualPointer, 1, 0, nullptr, nullptr));
        keyboard_ = wl_proxy_marshal_flags(keyboards, 0, &kVirtualKeyboard, 1, 0, seat, nullptr);
        if (const int keymap = KeymapFile(); keymap >= 0) {
            wl_proxy_marshal_flags(keyboard_, 0, nullptr, 1, 0, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1,
                                   keymap, static_cast<uint32_t>(sizeof kUsKeymap));
            close(keymap); // the connection keeps its own copy to send
        } else {
            whyNot = "cannot write the key map";
        }
        for (wl_proxy* proxy : {seat, pointers, keyboards})
            wl_proxy_destroy(proxy);
    }
    wl_registry_destroy(registry);
    if (whyNot.isEmpty() && (keyboard_ == nullptr || wl_display_roundtrip(inputs_) < 0))
        whyNot = "sway offers no virtual pointer and keyboard";
    return whyNot.isEmpty();
}

bool WaylandSession::Key(uint32_t code, bool pressed) {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    wl_proxy_marshal_flags(keyboard_, 1, nullptr, 1, 0, static_cast<uint32_t>(milliseconds), code,
                           pressed ? WL_KEYBOARD_KEY_STATE_PRESSED
                                   : WL_KEYBOARD_KEY_STATE_RELEASED);
    return wl_display_roundtrip(inputs_) >= 0;
}

QStringList WaylandSession::Environment() const {
    // Qt's Wayland library and Mesa keep objects until the end, which the sanitizer's
    // suppressions name; they are built without frame pointers, so that only the slow unwinder
    // follows a leak's stack into them.
    return {"WAYLAND_DISPLAY=" + display_, "XDG_RUNTIME_DIR=" + clientRuntime_.path(), "DISPLAY",
            "QT_QPA_PLATFORM",
            "ASAN_OPTIONS=" + qEnvironmentVariable("ASAN_OPTIONS") +
                ":fast_unwind_on_malloc=0:malloc_context_size=16"};
}

std::optional<QByteArray> WaylandSession::Run(const QString& program, const QStringList& arguments,
                                              std::chrono::milliseconds timeout) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("WAYLAND_DISPLAY", display_);
    environment.insert("SWAYSOCK", ipc_);
    environment.insert("XDG_RUNTIME_DIR", clientRuntime_.path());
    return RunHelper(environment, program, arguments, timeout);
}

std::optional<QRect> WaylandSession::WaitForWindow(qint64 pid) {
    QRect place;
    const bool mapped = Eventually([&] {
        const std::optional<QByteArray> tree = Run("swaymsg", {"--raw", "-t", "get_tree"});
        const QJsonObject window =
            tree ? WindowOf(QJsonDocument::fromJson(*tree).object(), pid) : QJsonObject();
        place = RectOf(window["window_rect"]).translated(RectOf(window["rect"]).topLeft());
        return !place.isEmpty();
    });
    return mapped ? std::optional(place) : std::nullopt;
}

QImage WaylandSession::Grab(const QRect& area) {
    const QString geometry = QStringLiteral("%1,%2 %3x%4")
                                 .arg(area.x())
                                 .arg(area.y())
                                 .arg(area.width())
                                 .arg(area.height());
    const std::optional<QByteArray> png = Run("grim", {"-g", geometry, "-"});
    return png ? QImage::fromData(*png, "PNG").convertToFormat(QImage::Format_RGB32) : QImage();
}

bool WaylandSession::Pointer(QPoint point, const QString& action) {
    QString command = QStringLiteral("seat seat0 cursor set %1 %2").arg(point.x()).arg(point.y());
    if (action == "press" || action == "click")
        command += "; seat seat0 cursor press button1";
    if (action == "release" || action == "click")
        command += "; seat seat0 cursor release button1";
    return Run("swaymsg", {command}).has_value();
}
