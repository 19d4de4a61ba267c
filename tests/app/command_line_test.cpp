#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

using Action = CommandLineRequest::Action;

TEST(CommandLine, EachArgumentListIsAnsweredOrPassedOnToQt) {
    struct Row {
        std::vector<std::string_view> arguments;
        Action action;
        std::string problem;
    };
    const std::vector<Row> rows{
        {{}, Action::Run, ""},
        {{"--help"}, Action::Help, ""},
        {{"-h"}, Action::Help, ""},
        {{"--version"}, Action::Version, ""},
        {{"-v"}, Action::Version, ""},
        // Qt's options with their values, with one dash or two, are left for Qt.
        {{"-platform", "offscreen", "-style=fusion", "--reverse", "-display", ":1"},
         Action::Run,
         ""},
        {{"-style", "--help"}, Action::Run, ""},
        {{"-platform", "offscreen", "--version"}, Action::Version, ""},
        // The first argument that decides wins.
        {{"--help", "--bogus"}, Action::Help, ""},
        {{"--bogus", "--help"},
         Action::Refused,
         "klavio: unknown option '--bogus'; try 'klavio --help'"},
        {{"-platform=xcb"},
         Action::Refused,
         "klavio: unknown option '-platform=xcb'; try 'klavio --help'"},
        {{"-"}, Action::Refused, "klavio: unexpected argument '-'; try 'klavio --help'"},
        {{"song.mid"},
         Action::Refused,
         "klavio: unexpected argument 'song.mid'; try 'klavio --help'"},
        {{"--", "--help"},
         Action::Refused,
         "klavio: unexpected argument '--help'; try 'klavio --help'"},
        {{"--x\x1b[2J"}, Action::Refused, "klavio: unknown option '--x?[2J'; try 'klavio --help'"},
        {{std::string_view("-\0x", 3)},
         Action::Refused,
         "klavio: unknown option '-?x'; try 'klavio --help'"},
    };
    for (const Row& row : rows) {
        const CommandLineRequest request = ParseCommandLine(row.arguments);
        const std::string line = row.arguments.empty() ? "(none)" : std::string(row.arguments[0]);
        EXPECT_EQ(request.action, row.action) << line;
        EXPECT_EQ(request.problem, row.problem) << line;
    }
    const std::string longArgument = "--" + std::string(100, 'a');
    EXPECT_EQ(ParseCommandLine(std::vector<std::string_view>{longArgument}).problem,
              "klavio: unknown option '--" + std::string(62, 'a') + "...'; try 'klavio --help'");
}

} // namespace
