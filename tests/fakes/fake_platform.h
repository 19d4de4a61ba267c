#pragma once

// Every platform service as a fake, for a window under test. A new service is added here once.

#include "platform/platform_services.h"
#include "tests/fakes/fake_error_box.h"
#include "tests/fakes/fake_log_sink.h"
#include "tests/fakes/fake_midi_service.h"
#include "tests/fakes/fake_program_location.h"
#include "tests/fakes/fake_registry.h"
#include "tests/fakes/fake_shell_service.h"
#include "tests/fakes/fake_synthesizer.h"
#include "tests/fakes/fake_system_theme.h"
#include "tests/fakes/fake_user_language.h"
#include "tests/fakes/fake_version_service.h"

struct FakePlatform {
    FakeErrorBox errorBox;
    FakeMidiService midi;
    FakeUserLanguage userLanguage;
    FakeSystemTheme systemTheme;
    FakeProgramLocation program;
    // The program's own file carries klavio's version information, as the built one does.
    FakeVersionService version{program.executablePath,
                               BuildVersionBlock(FakeVersionService::KlavioResource())};
    FakeShellService shell;
    FakeLogSink log;
    FakeRegistry registry;
    FakeSynthesizer synthesizer;

    PlatformServices Services() { return ServicesWith(midi); }
    // The fakes, but a real MIDI service.
    PlatformServices ServicesWith(MidiService& realMidi) {
        return PlatformServices{errorBox, realMidi, userLanguage, systemTheme, version,
                                shell,    program,  log,          registry,    synthesizer};
    }
};
