#include "platform/linux/jack/jack_cycle_history.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <vector>

namespace {

// Cycles of 256 frames from frame 0 (a negative start: one that ended late); the cycle each
// report, read at a frame, is about.
TEST(JackCycleHistory, AReportIsAboutTheLatestCycleThatWentWrongBeforeItElseTheOneJustBefore) {
    using About = std::vector<std::optional<std::uint64_t>>;
    const struct {
        std::vector<std::int64_t> starts;
        std::vector<std::uint32_t> reports;
        About about;
    } rows[] = {
        {{0, 256}, {256}, {0}},                    // read in the cycle after
        {{0, -256, 512, 768}, {768}, {1}},         // read later; one ended late
        {{0, 256, 1024}, {1024}, {1}},             // a cycle run without us
        {{0, 256}, {256, 256}, {0, std::nullopt}}, // one cycle is told once
        {{-1, -256, 512}, {512, 512}, {1, 0}},     // two late cycles, two reports
        {{256}, {256}, {std::nullopt}},            // nothing before the report
        {{0xFFFFFF00, 0}, {0}, {0}},               // frames wrap
    };
    for (const auto& row : rows) {
        JackCycleHistory history;
        for (std::size_t i = 0; i < row.starts.size(); ++i) {
            history.Begin(i, static_cast<std::uint32_t>(std::llabs(row.starts[i])), 256);
            if (row.starts[i] < 0)
                history.EndedLate();
        }
        About about;
        for (const std::uint32_t frame : row.reports)
            about.push_back(history.Reported(frame));
        EXPECT_EQ(about, row.about) << testing::PrintToString(row.starts);
    }
}

} // namespace
