#pragma once

// The process callback's memory of its last cycles, to tell which one a report of a cycle the
// server could not finish in time (an xrun) is about. The report names no cycle: it comes on the
// notification thread, some cycles after the one it is about, many on a starved machine. What
// the report does carry is when it was read: the start, on the server's frame clock, of the
// cycle that was running then. The cycle reported is one that began before that; of those, the
// latest one seen to go wrong (it ended after the next one was due, or the server ran a cycle
// without it) and not told yet, else the one just before.
//
// Fixed size and allocation-free: the process thread owns one.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

class JackCycleHistory {
public:
    // A cycle beginning at startFrame on the server's clock; period is its length in frames.
    void Begin(std::uint64_t index, std::uint32_t startFrame, std::uint32_t period) {
        if (count_ > 0) {
            Cycle& previous = cycles_[(count_ - 1) % kKept];
            // A cycle of the server that skipped this client: the one before it was cut short.
            if (startFrame - previous.startFrame != previous.period)
                previous.wrong = true;
        }
        cycles_[count_ % kKept] = Cycle{index, startFrame, period, false, false};
        ++count_;
    }
    // The cycle begun last ended after the next one was due.
    void EndedLate() {
        if (count_ > 0)
            cycles_[(count_ - 1) % kKept].wrong = true;
    }
    // The index of the cycle a report read while the cycle starting at reportFrame ran is about;
    // nothing when that cycle is no longer known or was told already, so no cycle is told twice.
    std::optional<std::uint64_t> Reported(std::uint32_t reportFrame) {
        Cycle* chosen = nullptr;
        Cycle* wrong = nullptr;
        const std::size_t known = count_ < kKept ? count_ : kKept;
        for (std::size_t back = 1; back <= known; ++back) {
            Cycle& cycle = cycles_[(count_ - back) % kKept];
            // Frames wrap after 2^32; a difference read as signed tells before from after.
            if (static_cast<std::int32_t>(reportFrame - cycle.startFrame) <= 0)
                continue;
            if (chosen == nullptr)
                chosen = &cycle;
            if (cycle.wrong && !cycle.told) {
                wrong = &cycle;
                break;
            }
        }
        if (wrong != nullptr)
            chosen = wrong;
        if (chosen == nullptr || chosen->told)
            return std::nullopt;
        chosen->told = true;
        return chosen->index;
    }

private:
    // Reports come this many cycles late at worst (1.4 s of 256-frame cycles at 48 kHz); older
    // cycles are forgotten.
    static constexpr std::size_t kKept = 256;
    struct Cycle {
        std::uint64_t index;
        std::uint32_t startFrame;
        std::uint32_t period;
        bool wrong;
        bool told;
    };
    std::array<Cycle, kKept> cycles_{};
    std::size_t count_ = 0;
};
