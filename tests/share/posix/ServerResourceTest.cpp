// Connecting and leaving many times costs the server no descriptor and no
// memory (Linux: counted in /proc/self/fd and by the allocator).
#include <gtest/gtest.h>

#include <malloc.h>

#include <filesystem>

#include "share/Server.h"
#include "share/ShareClient.h"
#include "support/Pump.h"

namespace {

size_t OpenDescriptors() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
        ++n;
    }
    return n;
}

size_t HeapInUse() {
    return mallinfo2().uordblks;
}

void ConnectAndLeave(uint16_t port, int times) {
    for (int i = 0; i < times; ++i) {
        sharetest::TClient c(port);
        if (i % 2 == 0) {
            c.Send("?WATCH={\"enable\":true};");
        }
        ASSERT_TRUE(c.Line().has_value());
    }
}

}  // namespace

TEST(ShareServerResources, AThousandConnectionsLeaveNothingBehind) {
    share::TServerOptions o;
    o.Port = 0;
    share::TServer server(o);
    ASSERT_TRUE(server.Start().Ok);
    // A first round settles the allocator's and the socket layer's pools.
    ConnectAndLeave(server.Port(), 50);
    ASSERT_TRUE(testsupport::Eventually([&] { return server.Clients() == 0; }));
    const size_t fds = OpenDescriptors();
    const size_t heap = HeapInUse();

    ConnectAndLeave(server.Port(), 1000);
    ASSERT_TRUE(testsupport::Eventually([&] { return server.Clients() == 0; }));
    EXPECT_EQ(OpenDescriptors(), fds);
    // A leak of one session each would be well over 1 MB.
    EXPECT_LT(HeapInUse(), heap + 256 * 1024);
}
