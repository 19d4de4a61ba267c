#include "app/command_line.h"

#include <algorithm>
#include <array>

namespace {

// Options QApplication and its X11 platform take, each followed by a value as its own
// argument. The values are skipped so that "-platform offscreen" is not read as a stray word.
constexpr auto kQtOptionsWithValue = std::to_array<std::string_view>(
    {"platform", "platformpluginpath", "platformtheme", "plugin", "session", "style", "stylesheet",
     "qwindowgeometry", "qwindowicon", "qwindowtitle", "display", "geometry", "title", "icon",
     "name", "visual"});
// Qt's options that stand alone, and those taking their value after "=" in the same argument.
constexpr auto kQtFlags =
    std::to_array<std::string_view>({"reverse", "widgetcount", "testability", "nograb", "dograb"});
constexpr auto kQtOptionsWithAttachedValue =
    std::to_array<std::string_view>({"style", "stylesheet", "qmljsdebugger"});

template <std::size_t N>
bool Contains(const std::array<std::string_view, N>& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// The argument as the refusal quotes it: a pasted blob or a terminal control sequence is not
// echoed back as it came.
std::string Quoted(std::string_view argument) {
    constexpr std::size_t kLongest = 64;
    std::string quoted = "'";
    for (const char c : argument.substr(0, kLongest))
        quoted += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
    return quoted + (argument.size() > kLongest ? "...'" : "'");
}

CommandLineRequest Refuse(std::string_view what, std::string_view argument) {
    return {CommandLineRequest::Action::Refused,
            "klavio: " + std::string(what) + " " + Quoted(argument) + "; try 'klavio --help'"};
}

} // namespace

CommandLineRequest ParseCommandLine(std::span<const std::string_view> arguments) {
    using Action = CommandLineRequest::Action;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string_view argument = arguments[i];
        // klavio opens no files: a word on its own is more likely a mistake than a wish.
        if (optionsEnded || argument.size() < 2 || argument.front() != '-')
            return Refuse("unexpected argument", argument);
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        if (argument == "--help" || argument == "-h")
            return {Action::Help, {}};
        if (argument == "--version" || argument == "-v")
            return {Action::Version, {}};
        // Qt reads its options with one dash or two.
        std::string_view name = argument.substr(argument.starts_with("--") ? 2 : 1);
        if (Contains(kQtFlags, name))
            continue;
        if (Contains(kQtOptionsWithValue, name)) {
            ++i;
            continue;
        }
        const std::size_t equals = name.find('=');
        if (equals != std::string_view::npos &&
            Contains(kQtOptionsWithAttachedValue, name.substr(0, equals)))
            continue;
        return Refuse("unknown option", argument);
    }
    return {Action::Run, {}};
}

std::string UsageText() {
    return "Usage: klavio [OPTION]...\n"
           "A virtual MIDI piano keyboard: play notes on the keys of a piano on the screen.\n"
           "\n"
           "  -h, --help     print this help and exit\n"
           "  -v, --version  print the version and exit\n"
           "\n"
           "Qt's own options, such as -platform, -style and -display, are passed on to Qt.\n"
           "Settings are kept in $XDG_CONFIG_HOME/klavio/registry.reg\n"
           "(else ~/.config/klavio/registry.reg). See klavio(1) for more.\n";
}
