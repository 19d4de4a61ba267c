#include "app/Unit1.h"
#include "app/application.h"
#include "app/command_line.h"
#include "app/settings_schema.h"
#include "app/uStuff.h"
#include "keyboard/press_ahead.h"
#include "keyboard/vmidikeys.h"
#include "platform/linux/desktop/linux_system_theme.h"
#include "platform/linux/desktop/linux_user_language.h"
#include "platform/linux/desktop/qt_error_box.h"
#include "platform/linux/desktop/qt_program_location.h"
#include "platform/linux/desktop/stop_requests.h"
#include "platform/linux/desktop/x11_focus_loss.h"
#include "platform/linux/desktop/x11_key_repeat.h"
#include "platform/linux/desktop/x11_pointer_presses.h"
#include "platform/linux/desktop/xdg_shell_service.h"
#include "platform/linux/files/elf_version_service.h"
#include "platform/linux/files/linux_registry.h"
#include "platform/linux/midi/midi_service_factory.h"
#include "platform/log_sink.h"
#include "platform/synthesizer.h"
#include "support/VersionInfo.h"

#include <QCoreApplication>

#include <iostream>
#include <string_view>
#include <vector>

namespace {

// The file the built-in synthesizer plays, as the settings name it; read before the MIDI
// service opens. The settings key is named after maker and product as the window names it.
std::string StoredSoundFont(VersionService& version, ProgramLocation& program,
                            RegistryService& registry, LogSink& log) {
    try {
        const TVersionInfo info(version, program.ExecutablePath());
        return ReadSoundFontSetting(
            *registry.Access(),
            SettingsKeyPath(info.GetValue("CompanyName"), info.GetValue("ProductName")), log);
    } catch (const std::exception&) {
        // The window reports the same problem when it reads its settings.
        return {};
    }
}

// Prints "klavio " and the version the About page shows, read from the program's own version
// information. Needs no display: the executable's path comes from a core application object.
int PrintVersion(int& argc, char** argv) {
    const QCoreApplication application(argc, argv);
    ElfVersionService version;
    QtProgramLocation program;
    const std::string path = program.ExecutablePath();
    const TVersionInfo info(version, path);
    if (!info.Valid()) {
        std::cerr << "klavio: no version information in " << path << '\n';
        return 1;
    }
    std::cout << "klavio " << TVersionInfo::VersionToText(info.FileVersion()) << '\n';
    return std::cout.flush() ? 0 : 1;
}

// The program as started from the desktop: the window, until it is closed.
int RunWindow(int& argc, char** argv) {
    // Joining a JACK server takes tens of milliseconds; it runs while the window is made.
    StartMidiSystemEarly("klavio");
    QtErrorBox errorBox;
    TApplication application(argc, argv, errorBox);
    // Lets the desktop match the window to klavio.desktop and its icon.
    application.setDesktopFileName(QStringLiteral("klavio"));
    // A held playing key must not end its note at every repeat.
    AskForPressOnlyKeyRepeat();
    // A session ending or Ctrl+C in a terminal closes the window like its close button: the
    // settings are saved and the synthesizer hears the end of every note still held. Made before
    // the MIDI service and the window, so that it goes after them: until their ports are closed
    // no signal may end the program.
    StopRequests stopRequests([] { QApplication::closeAllWindows(); });
    LinuxUserLanguage userLanguage;
    InitLanguage(userLanguage);
    LinuxSystemTheme systemTheme;
    ElfVersionService version;
    XdgShellService shell;
    QtProgramLocation program;
    StreamLogSink log(std::cerr, "klavio: ");
    LinuxRegistry registry(log);
    // Opened before the window and closed after it: the keyboard closes its ports on the way.
    const std::unique_ptr<MidiService> midi =
        OpenMidiService("klavio", std::cerr, StoredSoundFont(version, program, registry, log));
    NoSynthesizer noSynthesizer;
    auto* builtIn = dynamic_cast<Synthesizer*>(midi.get());
    TklavioForm klavioForm(PlatformServices{errorBox, *midi, userLanguage, systemTheme, version,
                                            shell, program, log, registry,
                                            builtIn != nullptr ? *builtIn : noSynthesizer});
    // Made after the window and so gone before it.
    const X11FocusLoss focusLoss([&klavioForm] { klavioForm.VMidiKeys1->KeysLost(); });
    PressAhead pressAhead(*klavioForm.VMidiKeys1);
    const X11PointerPresses pointerPresses(
        [&pressAhead](const X11InputEvent& press, const std::optional<X11InputEvent>& before) {
            pressAhead.Pressed(press, before);
        });
    klavioForm.show();
    application.exec();
    // The window writes the settings and resets its ports as it goes, after this line. An error
    // box on the way is answered by a further signal, so that the note-offs still go out and
    // the program ends.
    stopRequests.ShutdownStarted(AnswerWaitingErrorBox);
    // Errors were reported as they happened; ending is always a normal end.
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    const CommandLineRequest request = ParseCommandLine(arguments);
    switch (request.action) {
    case CommandLineRequest::Action::Help:
        std::cout << UsageText();
        // A help text that could not be written is no success, e.g. on a full disk.
        return std::cout.flush() ? 0 : 1;
    case CommandLineRequest::Action::Version:
        return PrintVersion(argc, argv);
    case CommandLineRequest::Action::Refused:
        std::cerr << request.problem << '\n';
        return kCommandLineUsageExit;
    case CommandLineRequest::Action::Run:
        break;
    }
    return RunWindow(argc, argv);
}
