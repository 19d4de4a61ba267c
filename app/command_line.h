#pragma once

// What klavio was asked to do on its command line. Decided before the application object
// exists, so that --help and --version answer without a display. Qt's own options (-platform,
// -style, -display, ...) are let through, with their values, for the application object to
// take; anything else is refused rather than silently ignored.

#include <span>
#include <string>
#include <string_view>

struct CommandLineRequest {
    enum class Action {
        Run,     // open the window
        Help,    // print UsageText() and end
        Version, // print the version and end
        Refused, // print problem on standard error and end with kCommandLineUsageExit
    };
    Action action = Action::Run;
    // One line without its newline, naming the argument that was refused.
    std::string problem;
};

// The exit status of a refused command line, as most command-line tools use for misuse.
inline constexpr int kCommandLineUsageExit = 2;

// arguments are the program's arguments without its name. They are read in order: the first
// request to print something, or the first argument not understood, decides.
CommandLineRequest ParseCommandLine(std::span<const std::string_view> arguments);

// The text --help prints, ending in a newline.
std::string UsageText();
