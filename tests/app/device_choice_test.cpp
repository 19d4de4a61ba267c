#include "app/device_choice.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(DeviceChoice, EveryStandOfTheDeviceLeadsToOneStep) {
    using S = DeviceState;
    using T = DeviceStep;
    struct Row {
        const char* what;
        DeviceFacts facts; // chosen, listed, portOpen, portStatus, systemRunning, reopened
        T step;
        S state;
    };
    const std::vector<Row> rows{
        {"nothing chosen", {false, true, false}, T::Keep, S::None},
        {"nothing chosen, a port left", {false, true, true, MMSYSERR_NOERROR}, T::Close, S::None},
        {"chosen and there", {true, true, false}, T::Open, S::Connected},
        {"chosen and absent", {true, false, false}, T::Keep, S::Unavailable},
        {"chosen, no system", {true, false, false, 0, false}, T::Keep, S::NoSystem},
        {"connected", {true, true, true, MMSYSERR_NOERROR}, T::Keep, S::Connected},
        {"connecting", {true, true, true, MIDIERR_NOTREADY}, T::Keep, S::Connecting},
        {"its device went", {true, false, true, MIDIERR_NODEVICE}, T::Close, S::Unavailable},
        {"the system went", {true, false, true, MMSYSERR_NODRIVER, false}, T::Close, S::NoSystem},
        {"listed, but the port leads nowhere",
         {true, true, true, MMSYSERR_NODRIVER},
         T::Reopen,
         S::Connected},
        {"refused again after a reopen",
         {true, true, true, MIDIERR_NODEVICE, true, true},
         T::Close,
         S::Unavailable},
    };
    for (const Row& row : rows) {
        const DeviceDecision decision = DecideDevice(row.facts);
        EXPECT_EQ(decision.step, row.step) << row.what;
        EXPECT_EQ(decision.state, row.state) << row.what;
    }
}

} // namespace
