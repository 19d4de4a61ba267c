#include "app/Unit1.h"
#include "app/application.h"
#include "app/program_icon.h"
#include "app/settings_schema.h"
#include "app/uStuff.h"
#include "platform/linux/elf_version_service.h"
#include "platform/linux/linux_registry.h"
#include "platform/linux/linux_system_theme.h"
#include "platform/linux/linux_user_language.h"
#include "platform/linux/midi_service_factory.h"
#include "platform/linux/qt_error_box.h"
#include "platform/linux/qt_program_location.h"
#include "platform/linux/stop_requests.h"
#include "platform/linux/xdg_shell_service.h"
#include "platform/log_sink.h"
#include "support/VersionInfo.h"

#include <iostream>

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

} // namespace

int main(int argc, char** argv) {
    QtErrorBox errorBox;
    TApplication application(argc, argv, errorBox);
    application.setWindowIcon(ProgramIcon());
    // Lets the desktop match the window to klavio.desktop and its icon.
    application.setDesktopFileName(QStringLiteral("klavio"));
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
    TklavioForm klavioForm(PlatformServices{errorBox, *midi, userLanguage, systemTheme, version,
                                            shell, program, log, registry});
    klavioForm.show();
    application.exec();
    // The window writes the settings and resets its ports as it goes, after this line.
    stopRequests.ShutdownStarted();
    // Errors were reported as they happened; ending is always a normal end.
    return 0;
}
