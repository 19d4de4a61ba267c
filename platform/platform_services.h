#pragma once

// The operating-system services the window works with, handed in from the program entry (the
// real backends) or from a test (the fakes).

class ErrorBox;
class MidiService;

struct PlatformServices {
    ErrorBox& errorBox;
    MidiService& midi;
};
