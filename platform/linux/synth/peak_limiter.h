#pragma once

// Keeps the built-in synthesizer's output below full scale. A single note is meant to sound as
// loud as other synthesizers make it, and ten notes struck hard together then add up to more
// than a sound card takes: rather than clip them, the level comes down at once on the loudest
// sample and goes back up over a tenth of a second. Quiet playing passes untouched.

#include <algorithm>
#include <cmath>
#include <cstddef>

class PeakLimiter {
public:
    explicit PeakLimiter(double sampleRate)
        : release_(static_cast<float>(1.0 - std::exp(-1.0 / (kReleaseSeconds * sampleRate)))) {}

    // Scales the sound by volume first. Runs on the audio thread: no allocation, no lock.
    void Process(float* left, float* right, std::size_t frames, float volume) {
        for (std::size_t i = 0; i < frames; ++i) {
            left[i] *= volume;
            right[i] *= volume;
            const float peak = std::max(std::abs(left[i]), std::abs(right[i]));
            const float wanted = peak > kCeiling ? kCeiling / peak : 1.0f;
            gain_ = wanted < gain_ ? wanted : gain_ + (wanted - gain_) * release_;
            left[i] *= gain_;
            right[i] *= gain_;
        }
    }

private:
    static constexpr float kCeiling = 0.891f; // -1 dBFS
    static constexpr double kReleaseSeconds = 0.1;
    const float release_;
    float gain_ = 1.0f;
};
