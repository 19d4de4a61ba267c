#include "platform/linux/jack_cycle_history.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace {

// Cycles of 256 frames, numbered from 0; which cycle each report, read at a frame, is about.
TEST(JackCycleHistory, AReportIsAboutTheLatestCycleThatWentWrongBeforeItElseTheOneJustBefore) {
    struct Cycle {
        std::uint32_t start;
        bool late;
    };
    struct Case {
        const char* what;
        std::vector<Cycle> cycles;
        std::vector<std::uint32_t> reports;
        std::vector<std::optional<std::uint64_t>> about;
    };
    for (const Case& c : std::vector<Case>{
             {"read in the cycle after: the one before it", {{0, false}, {256, false}}, {256}, {0}},
             {"read some cycles later, one ended late",
              {{0, false}, {256, true}, {512, false}, {768, false}},
              {768},
              {1}},
             {"a cycle the server ran without us cuts the one before short",
              {{0, false}, {256, false}, {1024, false}},
              {1024},
              {1}},
             {"two reports of one cycle tell it once",
              {{0, false}, {256, false}},
              {256, 256},
              {0, std::nullopt}},
             {"the second report finds the cycle before the first",
              {{0, true}, {256, true}, {512, false}},
              {512, 512},
              {1, 0}},
             {"nothing before the report", {{256, false}}, {256}, {std::nullopt}},
             {"frames wrap", {{0xFFFFFF00u, false}, {0, false}}, {0}, {0}},
         }) {
        JackCycleHistory history;
        for (std::size_t i = 0; i < c.cycles.size(); ++i) {
            history.Begin(i, c.cycles[i].start, 256);
            if (c.cycles[i].late)
                history.EndedLate();
        }
        std::vector<std::optional<std::uint64_t>> about;
        for (const std::uint32_t frame : c.reports)
            about.push_back(history.Reported(frame));
        EXPECT_EQ(about, c.about) << c.what;
    }
}

} // namespace
