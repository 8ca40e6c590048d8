// Port probing over real ports: a free port, a port another holder has, a
// number with nothing behind it, and the device name.
#include <gtest/gtest.h>

#include <cstring>

#include "ComPortTestSupport.h"
#include "serial/PortProbe.h"

namespace {

using namespace cptest;

TEST(PortProbe, DeviceNames) {
    char buffer[16];
    EXPECT_STREQ(PortDeviceName(buffer, 12), "\\\\.\\COM12");
    EXPECT_EQ(PortDeviceName(1), "\\\\.\\COM1");
    EXPECT_TRUE(ProbeThroughDispatcher.load());
    EXPECT_TRUE(CountBusyPorts.load());
    EXPECT_FALSE(ProbePort(0));
}

TEST(PortProbe, FreeHeldAndMissingPorts) {
    REQUIRE_PORTS();
    [[maybe_unused]] TPorts ports;
    for (bool through : {true, false}) {
        SCOPED_TRACE(through ? "through a dispatcher" : "directly");
        ProbeThroughDispatcher = through;
        // A free port, and it is closed again: a second probe and an open work.
        EXPECT_TRUE(ProbePort(kPortA));
        EXPECT_TRUE(ProbePort(kPortA));
        if (!MissingPortsOpen()) {
            EXPECT_FALSE(ProbePort(kMissingPort));
        }
        {
            auto p = MakePort(kPortA);
            p->SetOpen(true);
            ASSERT_TRUE(p->Open());
            // Held by the component: present while busy ports count, not otherwise.
            const bool held = ProbePort(kPortA);
            CountBusyPorts = false;
            const bool heldNotCounted = ProbePort(kPortA);
            CountBusyPorts = true;
            EXPECT_TRUE(held);
            if (SecondHolderRefused()) {
                EXPECT_FALSE(heldNotCounted);
            }
            // A probe changes nothing of the open component.
            EXPECT_TRUE(p->Open());
            EXPECT_EQ(p->OpenState(), osOpen);
        }
    }
    ProbeThroughDispatcher = true;
}

}  // namespace
