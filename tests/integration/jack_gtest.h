#pragma once

// Starting a test's JACK server the same way in every test that needs one.

#include "tests/integration/jack_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

// Without jackd (or PipeWire, see JackTestServer) installed the test is skipped, except under
// CI, which must run it; a server that is there but does not start fails the test. Returns whether
// the test can go on. Failures are fatal and skips are skips, so in a fixture's SetUp they also
// keep the test body from running.
inline bool StartJackForTest(JackTestServer& server) {
    if (const std::string missing = JackTestServer::Missing(); !missing.empty()) {
        if (std::getenv("CI") != nullptr)
            [&] { FAIL() << missing << "; CI must run the JACK tests"; }();
        else
            [&] { GTEST_SKIP() << missing; }();
        return false;
    }
    std::string whyNot;
    if (server.Start(whyNot))
        return true;
    [&] { FAIL() << "the JACK server did not start: " << whyNot; }();
    return false;
}
