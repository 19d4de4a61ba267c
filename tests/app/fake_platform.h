#pragma once

// Every platform service as a fake, for a window under test. A new service is added here once.

#include "fake_error_box.h"
#include "fake_midi_service.h"
#include "platform_services.h"

struct FakePlatform {
    FakeErrorBox errorBox;
    FakeMidiService midi;

    PlatformServices Services() { return PlatformServices{errorBox, midi}; }
};
