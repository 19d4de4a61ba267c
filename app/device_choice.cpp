#include "app/device_choice.h"

DeviceState StateOfPort(MMRESULT portStatus, bool systemRunning) {
    if (!systemRunning || portStatus == MMSYSERR_NODRIVER)
        return DeviceState::NoSystem;
    switch (portStatus) {
    case MMSYSERR_NOERROR:
        return DeviceState::Connected;
    case MIDIERR_NOTREADY:
        return DeviceState::Connecting;
    default:
        return DeviceState::Unavailable;
    }
}

DeviceDecision DecideDevice(const DeviceFacts& facts) {
    if (!facts.chosen)
        return {facts.portOpen ? DeviceStep::Close : DeviceStep::Keep, DeviceState::None};
    const DeviceState absent =
        facts.systemRunning ? DeviceState::Unavailable : DeviceState::NoSystem;
    if (!facts.portOpen)
        return facts.listed ? DeviceDecision{DeviceStep::Open, DeviceState::Connected}
                            : DeviceDecision{DeviceStep::Keep, absent};
    const DeviceState port = StateOfPort(facts.portStatus, facts.systemRunning);
    if (port == DeviceState::Connected || port == DeviceState::Connecting)
        return {DeviceStep::Keep, port};
    // The port leads nowhere. A device listed all the same may be a new instance of it (a
    // restarted synthesizer, a new MIDI system): a fresh port reaches it, if it is willing.
    if (facts.listed && !facts.reopenedAlready)
        return {DeviceStep::Reopen, DeviceState::Connected};
    return {DeviceStep::Close, absent};
}
