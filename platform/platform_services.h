#pragma once

// The operating-system services the window works with, handed in from the program entry (the
// real backends) or from a test (the fakes).

class ErrorBox;
class MidiService;
class UserLanguage;
class SystemTheme;
class VersionService;
class ShellService;
class ProgramLocation;
class LogSink;
class RegistryService;
class Synthesizer;

struct PlatformServices {
    ErrorBox& errorBox;
    MidiService& midi;
    UserLanguage& userLanguage;
    SystemTheme& systemTheme;
    VersionService& version;
    ShellService& shell;
    ProgramLocation& program;
    LogSink& log;
    RegistryService& registry;
    // The built-in synthesizer behind the MIDI service's mapper output.
    Synthesizer& synthesizer;
};
