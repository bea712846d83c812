#pragma once

// A private bus with FyBootp's policy, in a network namespace that the test
// process made for itself: the dbus-daemon and every server it starts live
// in it, so starting the responder binds port 67 there only.

#include <gtest/gtest.h>
#include <sched.h>

#include <memory>
#include <string>

#include "tests/host/bus_test_support.h"

namespace fybootp::testing {

class OnAPrivateBusBase : public ::testing::Test {
protected:
    void SetUp() override {
        if (unshare(CLONE_NEWNET) != 0) GTEST_SKIP() << "no network namespace (needs root)";
        ASSERT_EQ(Shell("ip link set lo up"), 0);
        std::string whyNot;
        bus = PrivateBus::Start(&whyNot);
        ASSERT_NE(bus, nullptr) << whyNot;
        bus->SeedAppId(false);
    }

    // For fixtures that go on in their own SetUp.
    bool Ready() const { return !IsSkipped() && !HasFailure(); }

    std::unique_ptr<PrivateBus> bus;
};

}  // namespace fybootp::testing
