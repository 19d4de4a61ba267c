#pragma once

// The process callback's memory of its last cycles, to tell which ones a report of a cycle the
// server could not finish in time (an xrun) is about. The report names no cycle: it comes on the
// notification thread, and carries only when it was read: the start, on the server's frame
// clock, of the cycle that was running then. The server notices an unfinished graph when the
// next cycle begins, and for a few cycles after it runs its clients out of order: a peer may
// read our port before we have written it, and what we wrote in that cycle is gone. Traced on
// jackd 1.9.21 (one event per cycle, 47 losses among 1,400 xruns a minute on a starved machine),
// every lost cycle lay between three cycles before the one the report was read in and the one
// after it; most were that cycle or the one before.
//
// Fixed size and allocation-free: the process thread owns one.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

class JackCycleHistory {
public:
    // Cycles before and after the one a report was read in that the report covers.
    static constexpr std::uint64_t kCoveredBefore = 3;
    static constexpr std::uint64_t kCoveredAfter = 1;

    struct Cycles {
        std::uint64_t first;
        std::uint64_t last;
    };

    // A cycle beginning at startFrame on the server's clock; index only grows.
    void Begin(std::uint64_t index, std::uint32_t startFrame) {
        starts_[count_ % kKept] = Start{index, startFrame};
        ++count_;
    }

    // A report read while the cycle starting at reportFrame ran. Nothing is covered when that
    // cycle is no longer known.
    void Report(std::uint32_t reportFrame) {
        const std::size_t known = count_ < kKept ? count_ : kKept;
        for (std::size_t back = 1; back <= known; ++back) {
            const Start& start = starts_[(count_ - back) % kKept];
            // Frames wrap after 2^32; a difference read as signed tells before from after.
            if (static_cast<std::int32_t>(reportFrame - start.frame) < 0)
                continue;
            const std::uint64_t first =
                start.index > kCoveredBefore ? start.index - kCoveredBefore : 0;
            const std::uint64_t last = start.index + kCoveredAfter;
            const std::uint64_t from = std::max(first, toldThrough_);
            if (from > last)
                return; // every cycle it covers was told
            pending_ = pending_
                           ? Cycles{std::min(pending_->first, from), std::max(pending_->last, last)}
                           : Cycles{from, last};
            return;
        }
    }

    // The covered cycles that have ended by the time cycle current begins and were not told
    // yet; each cycle is told once.
    std::optional<Cycles> Due(std::uint64_t current) {
        if (!pending_ || pending_->first >= current)
            return std::nullopt;
        const Cycles due{pending_->first, std::min(pending_->last, current - 1)};
        toldThrough_ = due.last + 1;
        if (due.last == pending_->last)
            pending_.reset();
        else
            pending_->first = toldThrough_;
        return due;
    }

private:
    // Reports come this many cycles late at worst (1.4 s of 256-frame cycles at 48 kHz); older
    // cycles are forgotten.
    static constexpr std::size_t kKept = 256;
    struct Start {
        std::uint64_t index;
        std::uint32_t frame;
    };
    std::array<Start, kKept> starts_{};
    std::size_t count_ = 0;
    std::optional<Cycles> pending_;
    std::uint64_t toldThrough_ = 0; // cycles below it were told
};
