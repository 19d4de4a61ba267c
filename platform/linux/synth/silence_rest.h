#pragma once

// Lets the audio thread skip rendering silence. A synthesizer with nothing sounding still costs
// a full render every period (its reverb and chorus run on zeros); once its output has stayed
// inaudible for a while and nothing was sent to it since, the periods are left silent without
// asking it, until the next message wakes it. Only a message can make it sound again: the
// master volume is applied after the render, and the loudness judged before it.

#include <cstddef>
#include <cstdint>

class SilenceRest {
public:
    explicit SilenceRest(double sampleRate)
        : restAfterFrames_(static_cast<std::size_t>(sampleRate * kQuietSecondsBeforeRest)) {}

    // Whether this period is to be rendered, given how many messages have reached the
    // synthesizer so far. Runs on the audio thread: no allocation, no lock.
    bool Renders(std::uint32_t messagesSoFar) {
        if (messagesSoFar != messagesSeen_) {
            messagesSeen_ = messagesSoFar;
            quietFrames_ = 0;
        }
        return quietFrames_ < restAfterFrames_;
    }
    // After a rendered period: its loudest sample, before any volume. Audio thread.
    void Rendered(std::size_t frames, float loudest) {
        quietFrames_ = loudest < kInaudible ? quietFrames_ + frames : 0;
    }

private:
    static constexpr double kQuietSecondsBeforeRest = 1.0;
    static constexpr float kInaudible = 1e-5f; // -100 dBFS, far below a 16-bit step
    const std::size_t restAfterFrames_;
    std::uint32_t messagesSeen_ = 0;
    std::size_t quietFrames_ = 0;
};
