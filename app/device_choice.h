#pragma once

// What the window does with one of its two device choices when the MIDI service's devices
// change: a chosen device is kept as the choice while it is absent and connected when it comes
// back; a port whose device has gone is closed, its notes released.

#include "platform/midi_service.h"

enum class DeviceState {
    None,        // "no device" is chosen
    Connected,   // the port is open and reaches the device
    Connecting,  // the port is open and the connection is being made
    Unavailable, // the device is chosen but absent, gone or refusing
    NoSystem,    // the device is chosen and no MIDI system runs
};

enum class DeviceStep {
    Keep,   // leave the port as it is
    Open,   // open the chosen device (no port is open)
    Close,  // close the port; the device is not there to reopen
    Reopen, // close the port and open the chosen device anew
};

struct DeviceFacts {
    bool chosen = false;   // a device, not "no device", is the choice
    bool listed = false;   // the service lists the chosen device now
    bool portOpen = false; // the keyboard holds a port for it
    MMRESULT portStatus = MMSYSERR_INVALHANDLE;
    bool systemRunning = true;
    // The port was opened anew since the device was last absent: a device that refuses the
    // connection is not asked again and again.
    bool reopenedAlready = false;
};

struct DeviceDecision {
    DeviceStep step = DeviceStep::Keep;
    // How the choice stands once the step is taken, assuming an open succeeds.
    DeviceState state = DeviceState::None;
};

DeviceDecision DecideDevice(const DeviceFacts& facts);

// The state an open port's status stands for.
DeviceState StateOfPort(MMRESULT portStatus, bool systemRunning);
