#pragma once

#include "tests/fakes/fake_midi_service.h"

#include <chrono>
#include <cstdint>

// Notes the moment the bytes arrive.
class TimingMidiService : public FakeMidiService {
public:
    using Clock = std::chrono::steady_clock;

    MMRESULT midiOutShortMsg(HMIDIOUT, std::uint32_t) override {
        sentAt = Clock::now();
        return MMSYSERR_NOERROR;
    }
    Clock::time_point sentAt;
};
