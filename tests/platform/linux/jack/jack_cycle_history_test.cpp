#include "platform/linux/jack/jack_cycle_history.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using Cycles = JackCycleHistory::Cycles;

// Cycles 0, 1, 2, ... starting every 256 frames from a start frame; reports read at frames
// between them, and which cycles are due for a repeat as each later cycle begins.
TEST(JackCycleHistory, AReportCoversThreeCyclesBeforeTheOneItWasReadInAndTheOneAfterEachOnce) {
    struct Step {
        std::uint64_t cycle;                // begins now
        std::vector<std::uint32_t> reports; // read, as frames, before it begins
        std::optional<Cycles> due;          // due as it begins
    };
    const struct {
        const char* what;
        std::uint32_t firstFrame;
        std::vector<Step> steps;
    } rows[] = {
        {"read in cycle 5: 2 to 5 now, 6 once it has run",
         0,
         {{5, {}, std::nullopt},
          {6, {5 * 256 + 10}, Cycles{2, 5}},
          {7, {}, Cycles{6, 6}},
          {8, {5 * 256 + 20}, std::nullopt}}}, // a second report of cycles told
        {"read early on: nothing before cycle 0",
         0,
         {{1, {10}, Cycles{0, 0}}, {2, {}, Cycles{1, 1}}}},
        {"two reports: the cycles of both, none twice",
         0,
         {{10, {}, std::nullopt},
          {11, {9 * 256}, Cycles{6, 10}},
          {12, {10 * 256, 11 * 256}, Cycles{11, 11}},
          {13, {}, Cycles{12, 12}},
          {14, {}, std::nullopt}}},
        {"read in a cycle we were not run in: the cycles around our latest",
         0,
         {{40, {45 * 256}, Cycles{36, 39}}, {41, {}, Cycles{40, 40}}}},
        {"frames wrap", 0xFFFFFE00, {{3, {0x100}, Cycles{0, 2}}, {4, {}, Cycles{3, 3}}}},
        {"a frame before every known cycle", 0x10000, {{300, {5}, std::nullopt}}},
    };
    for (const auto& row : rows) {
        JackCycleHistory history;
        std::uint64_t begun = 0;
        for (const Step& step : row.steps) {
            for (; begun < step.cycle; ++begun)
                history.Begin(begun, row.firstFrame + static_cast<std::uint32_t>(begun * 256));
            for (const std::uint32_t frame : step.reports)
                history.Report(frame);
            history.Begin(step.cycle,
                          row.firstFrame + static_cast<std::uint32_t>(step.cycle * 256));
            ++begun;
            const std::optional<Cycles> due = history.Due(step.cycle);
            const auto text = [](const std::optional<Cycles>& cycles) {
                return cycles ? std::to_string(cycles->first) + "-" + std::to_string(cycles->last)
                              : std::string("none");
            };
            EXPECT_EQ(text(due), text(step.due)) << row.what << ", cycle " << step.cycle;
        }
    }
}

} // namespace
