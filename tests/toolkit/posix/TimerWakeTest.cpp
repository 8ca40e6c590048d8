// Timers served by an outside loop that watches only the wake descriptor,
// as a GUI toolkit's loop does.
#include <poll.h>

#include <gtest/gtest.h>

#include <vector>

#include "toolkit/Clock.h"
#include "toolkit/Messages.h"
#include "toolkit/Sync.h"
#include "toolkit/Timer.h"
#include "toolkit/posix/MessageQueuePosix.h"

namespace {

bool Readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN);
}

// Serves everything waiting, as the outside loop does when the descriptor is readable.
int ServeAll() {
    int n = 0;
    tk::TMessage m;
    while (tk::TakeMessage(m)) {
        tk::DispatchTaken(m);
        ++n;
    }
    return n;
}

}  // namespace

TEST(TimerWake, DescriptorAloneServesTimers) {
    const int fd = tk::MessageWakeDescriptor();
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(Readable(fd, 0));

    tk::TTimer timer(nullptr);
    timer.SetInterval(60);
    std::vector<uint32_t> at;
    timer.OnTimer = [&](tk::TComponent&) { at.push_back(tk::MonotonicMs()); };
    const uint32_t start = tk::MonotonicMs();

    // Only poll() on the descriptor: it turns readable when the timer falls
    // due, and serving the queue makes it quiet again until the next firing.
    int spins = 0;
    while (at.size() < 4 && tk::MonotonicMs() - start < 10000) {
        if (Readable(fd, 5000)) {
            if (ServeAll() == 0) {
                ++spins;
            }
        }
    }
    ASSERT_EQ(at.size(), 4u);
    EXPECT_GE(at[0] - start, 59u);
    for (size_t i = 1; i < at.size(); ++i) {
        EXPECT_GE(at[i] - at[i - 1], 59u);
    }
    EXPECT_LE(spins, 2) << "readable with nothing to serve";
    EXPECT_FALSE(Readable(fd, 0));

    // A stopped timer leaves the descriptor quiet; a restarted one wakes it.
    timer.SetEnabled(false);
    EXPECT_FALSE(Readable(fd, 200));
    timer.SetEnabled(true);
    EXPECT_TRUE(Readable(fd, 5000));
    EXPECT_EQ(ServeAll(), 1);
    EXPECT_EQ(at.size(), 5u);

    // Posted messages still wake it, and go before a due timer.
    std::vector<uint32_t> order;
    const tk::TWindowHandle w = tk::CreateNotifyWindow(
        "PalmoTestWindow", [&](tk::TWindowHandle, uint32_t msg, tk::TWParam, tk::TLParam) {
            order.push_back(msg);
            return tk::TLResult{0};
        });
    timer.OnTimer = [&](tk::TComponent&) { order.push_back(tk::kMsgTimer); };
    tk::Sleep(80);  // the timer is due now
    tk::PostToWindow(w, tk::kMsgUser, 0, 0);
    EXPECT_TRUE(Readable(fd, 0));
    EXPECT_EQ(ServeAll(), 2);
    EXPECT_EQ(order, (std::vector<uint32_t>{tk::kMsgUser, tk::kMsgTimer}));
    EXPECT_FALSE(Readable(fd, 0));

    // A destroyed timer window takes its timer with it.
    timer.SetInterval(0);
    EXPECT_FALSE(Readable(fd, 150));
    tk::DestroyNotifyWindow(w);
}
