#pragma once

// Judging recorded sound by its spectrum and loudness, for the tests and benchmarks that listen
// to the built-in synthesizer, rendered by hand or recorded from JACK.

#include <cmath>
#include <cstddef>
#include <numbers>
#include <vector>

using Samples = std::vector<float>;

// The strength of one frequency in the samples, Hann-windowed so neighbours do not leak in.
inline double Magnitude(const Samples& samples, double frequency, double rate) {
    const double coefficient = 2.0 * std::cos(2.0 * std::numbers::pi * frequency / rate);
    double previous = 0.0;
    double beforePrevious = 0.0;
    const double last = static_cast<double>(samples.size() - 1);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double window = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / last);
        const double current = samples[i] * window + coefficient * previous - beforePrevious;
        beforePrevious = previous;
        previous = current;
    }
    return std::sqrt(previous * previous + beforePrevious * beforePrevious -
                     coefficient * previous * beforePrevious);
}

// The strongest frequency between from and to, in steps.
inline double Peak(const Samples& samples, double from, double to, double step, double rate) {
    double best = from;
    double bestMagnitude = -1.0;
    for (double frequency = from; frequency < to; frequency += step) {
        const double magnitude = Magnitude(samples, frequency, rate);
        if (magnitude > bestMagnitude) {
            bestMagnitude = magnitude;
            best = frequency;
        }
    }
    return best;
}

// The strongest frequency from a fifth below to a fifth above around, to a twentieth of a hertz.
inline double PeakNear(const Samples& samples, double around, double rate) {
    const double rough = Peak(samples, around / 1.5, around * 1.5, 1.0, rate);
    return Peak(samples, rough - 1.0, rough + 1.0, 0.05, rate);
}

inline double Rms(const Samples& samples) {
    double sum = 0.0;
    for (const float sample : samples)
        sum += double{sample} * sample;
    return samples.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(samples.size()));
}
