// An open dispatcher running by itself on a pseudo-terminal: bytes from the
// far end reach a window handler on the owning thread as data-available
// notices with exact counts, bytes written go out through the writer thread,
// and the port closes cleanly, also from inside a notice.
#include <gtest/gtest.h>

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <thread>

#include "PtyOwner.h"
#include "PtyPair.h"

namespace {

using namespace ptytest;
using Clock = std::chrono::steady_clock;

int ThreadCount() {
    int count = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (const dirent* e = readdir(d)) {
            count += e->d_name[0] != '.';
        }
        closedir(d);
    }
    return count;
}

// The worker threads run the port by themselves; until the dispatcher
// starts them there is nothing to run end to end.
#define SKIP_WITHOUT_THREADS(owner)                                             \
    if (!(owner).D().ThreadsRunning()) {                                        \
        GTEST_SKIP() << "the dispatcher does not start its worker threads yet"; \
    }

std::string RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) {
        c = static_cast<char>(gen() & 0xFF);
    }
    return s;
}

TEST(PosixEndToEnd, NoticesCarryExactCounts) {
    TPtyPair pty;
    ASSERT_TRUE(pty.Ok());
    TPortsEnv env(pty.Path());
    TPtyOwner o;
    ASSERT_EQ(o.Open(), 0);
    SKIP_WITHOUT_THREADS(o);

    // Each arrival is one notice offering every unread byte; the handler takes all.
    ASSERT_TRUE(pty.Write("abc"));
    ASSERT_TRUE(o.PumpUntil([&] { return o.received.size() == 3; }));
    ASSERT_TRUE(pty.Write("defgh"));
    ASSERT_TRUE(o.PumpUntil([&] { return o.received.size() == 8; }));
    EXPECT_EQ(o.received, "abcdefgh");
    EXPECT_EQ(o.counts, (std::vector<uint32_t>{3, 5}));

    // A handler that takes part of a notice: the rest is offered again with
    // the next arrival, in front of the new bytes.
    o.handler = [](TPtyOwner& self, uint32_t count) { self.Take(count > 1 ? count - 1 : 1); };
    o.counts.clear();
    ASSERT_TRUE(pty.Write("123"));
    ASSERT_TRUE(o.PumpUntil([&] { return o.received.size() == 10; }));
    EXPECT_EQ(o.D().InputCount(), 1u);
    ASSERT_TRUE(pty.Write("4"));
    ASSERT_TRUE(o.PumpUntil([&] { return o.received.size() == 11; }));
    EXPECT_EQ(o.received, "abcdefgh123");
    EXPECT_EQ(o.counts, (std::vector<uint32_t>{3, 2}));

    // Bytes written go out through the writer thread.
    ASSERT_EQ(o.D().WriteBlock("$PSRF,1*00\r\n"), 0);
    EXPECT_EQ(pty.Read(12), "$PSRF,1*00\r\n");
    // (A close that meets a notice under way is finished by the dispatch
    // thread once the notice is over.)
    o.Close();
    EXPECT_FALSE(o.D().IsOpen());
    EXPECT_TRUE(o.PumpUntil([&] { return !o.D().ThreadsRunning(); }));
}

TEST(PosixEndToEnd, TwoHandlersShareANotice) {
    TPtyPair pty;
    ASSERT_TRUE(pty.Ok());
    TPortsEnv env(pty.Path());
    TPtyOwner o;
    ASSERT_EQ(o.Open(), 0);
    SKIP_WITHOUT_THREADS(o);
    std::string second;
    std::vector<uint32_t> secondCounts;
    const tk::TWindowHandle w2 = tk::CreateNotifyWindow(
        "PalmoPtySecond", [&](tk::TWindowHandle, uint32_t msg, tk::TWParam w, tk::TLParam) {
            if (msg == MsgTriggerAvail) {
                secondCounts.push_back(static_cast<uint32_t>(w));
                char buf[8];
                const uint32_t n = o.D().ReadBlock(buf, std::min<uint32_t>(3, w));
                second.append(buf, n);
            }
            return tk::TLResult{0};
        });
    o.D().AddWindowHandler(w2);
    o.handler = [](TPtyOwner& self, uint32_t) { self.Take(1); };

    // Both see the notice from its start; the ring moves by the most taken.
    ASSERT_TRUE(pty.Write("wxyz"));
    ASSERT_TRUE(o.PumpUntil([&] { return second.size() == 3; }));
    EXPECT_EQ(o.received, "w");
    EXPECT_EQ(second, "wxy");
    EXPECT_EQ(o.D().InputCount(), 1u);
    ASSERT_TRUE(pty.Write("!"));
    ASSERT_TRUE(o.PumpUntil([&] { return second.size() == 5; }));
    EXPECT_EQ(second, "wxyz!");
    EXPECT_EQ(o.counts, (std::vector<uint32_t>{4, 2}));
    EXPECT_EQ(secondCounts, (std::vector<uint32_t>{4, 2}));
    o.D().RemoveWindowHandler(w2);
    o.Close();
    tk::DestroyNotifyWindow(w2);
}

TEST(PosixEndToEnd, OneMegabyteEachWayAtFullSpeed) {
    TPtyPair pty;
    ASSERT_TRUE(pty.Ok());
    TPortsEnv env(pty.Path());
    TPtyOwner o;
    // A small output ring so that writes wrap it many times.
    ASSERT_EQ(o.Open(3000), 0);
    SKIP_WITHOUT_THREADS(o);
    o.received.reserve(1 << 20);

    const std::string in = RandomBytes(1 << 20, 1);
    const std::string out = RandomBytes(1 << 20, 2);
    std::string farGot;
    std::thread far([&] {
        // The far end writes and reads at once, as fast as the pair allows.
        size_t sent = 0;
        char buf[8192];
        const auto start = Clock::now();
        while ((sent < in.size() || farGot.size() < out.size()) && ElapsedMs(start) < 60000) {
            pollfd p{pty.Master(), static_cast<short>(POLLIN | (sent < in.size() ? POLLOUT : 0)),
                     0};
            poll(&p, 1, 100);
            if ((p.revents & POLLOUT) && sent < in.size()) {
                const ssize_t n =
                    write(pty.Master(), in.data() + sent, std::min<size_t>(4096, in.size() - sent));
                if (n > 0) {
                    sent += static_cast<size_t>(n);
                }
            }
            if (p.revents & POLLIN) {
                const ssize_t n = read(pty.Master(), buf, sizeof buf);
                if (n > 0) {
                    farGot.append(buf, static_cast<size_t>(n));
                }
            }
        }
    });

    size_t written = 0;
    const bool done = o.PumpUntil(
        [&] {
            // Queue output as room allows, between notices.
            while (written < out.size()) {
                const uint32_t room = o.D().OutputRoom();
                const uint32_t n =
                    std::min<uint32_t>({room, 1000u, static_cast<uint32_t>(out.size() - written)});
                if (n == 0) {
                    break;
                }
                EXPECT_EQ(o.D().WriteBlock(out.data() + written, n), 0);
                written += n;
            }
            return o.received.size() >= in.size() && written == out.size();
        },
        60000);
    far.join();
    EXPECT_TRUE(done);
    // Nothing lost, doubled or out of order, across every wrap of both rings.
    EXPECT_EQ(o.received.size(), in.size());
    EXPECT_TRUE(o.received == in);
    EXPECT_EQ(farGot.size(), out.size());
    EXPECT_TRUE(farGot == out);
    o.Close();
}

TEST(PosixEndToEnd, CloseFromInsideANotice) {
    TPtyPair pty;
    ASSERT_TRUE(pty.Ok());
    TPortsEnv env(pty.Path());
    for (int round = 0; round < 2; ++round) {
        TPtyOwner o;
        ASSERT_EQ(o.Open(), 0);
        SKIP_WITHOUT_THREADS(o);
        bool closedInside = false;
        o.handler = [&](TPtyOwner& self, uint32_t count) {
            self.Take(count);
            self.Close();  // the release is left to the dispatch thread
            closedInside = self.D().ClosePending();
        };
        ASSERT_TRUE(pty.Write("$GPRMC"));
        ASSERT_TRUE(o.PumpUntil([&] { return !o.D().ThreadsRunning(); }));
        EXPECT_TRUE(closedInside);
        EXPECT_EQ(o.received, "$GPRMC");
        EXPECT_FALSE(o.D().IsOpen());
        EXPECT_FALSE(o.D().HasBuffers());
        // Round 2 frees the dispatcher at once, before pumping anything more.
        if (round == 0) {
            o.Free();
        }
    }
    // The device is free again.
    TPtyOwner again;
    ASSERT_EQ(again.Open(), 0);
    SKIP_WITHOUT_THREADS(again);
    again.Close();
}

TEST(PosixEndToEnd, OpenCloseCyclesWithThreadsLeakNothing) {
    TPtyPair pty;
    ASSERT_TRUE(pty.Ok());
    TPortsEnv env(pty.Path());
    {
        TPtyOwner warm;
        ASSERT_EQ(warm.Open(), 0);
        SKIP_WITHOUT_THREADS(warm);
        warm.Close();
    }
    const int fds = OpenDescriptorCount();
    const int threads = ThreadCount();
    for (int i = 0; i < 200; ++i) {
        TPtyOwner o;
        ASSERT_EQ(o.Open(), 0) << i;
        SKIP_WITHOUT_THREADS(o);
        ASSERT_TRUE(pty.Write("$"));
        if (i % 2 == 0) {
            ASSERT_TRUE(o.PumpUntil([&] { return o.received.size() == 1; })) << i;
        }
        o.Close();
        EXPECT_FALSE(o.D().IsOpen()) << i;
        // A close that met a notice on its way to this thread is finished by
        // the dispatch thread once the notice has been served here.
        ASSERT_TRUE(o.PumpUntil([&] { return !o.D().ThreadsRunning(); })) << i;
    }
    pty.Read(1 << 16, 0);
    EXPECT_EQ(OpenDescriptorCount(), fds);
    EXPECT_EQ(ThreadCount(), threads);
}

TEST(PosixEndToEnd, FarEndVanishingMidStream) {
    auto pty = std::make_unique<TPtyPair>(false);
    ASSERT_TRUE(pty->Ok());
    TPortsEnv env(pty->Path());
    TPtyOwner o;
    ASSERT_EQ(o.Open(), 0);
    SKIP_WITHOUT_THREADS(o);

    ASSERT_TRUE(pty->Write("$GPGGA,1"));
    ASSERT_TRUE(o.PumpUntil([&] { return o.received.size() == 8; }));
    pty->CloseMaster();
    // The port stays open and quiet: writes are taken and dropped, nothing spins.
    ASSERT_TRUE(o.PumpUntil([&] { return o.D().DeviceLost(); }));
    EXPECT_EQ(o.D().WriteBlock("$PSRF"), 0);
    // Watched for a second, the process uses next to no time.
    const double cpuBefore = ProcessCpuMs();
    o.PumpUntil([] { return false; }, 1000);
    EXPECT_LT(ProcessCpuMs() - cpuBefore, 60.0) << "a thread spins";
    EXPECT_TRUE(o.D().IsOpen());
    // The loss shows as silence, which the receiver's loss timer reports; it
    // is not passed off as one of the line errors the dispatcher keeps.
    EXPECT_EQ(o.received, "$GPGGA,1");
    EXPECT_EQ(o.notices, 1);
    EXPECT_EQ(o.D().TakeLineError(), lecNone);
    EXPECT_FALSE(o.D().TakeLineBreak());

    // The close ends the writer's and the reader's waits: it is done
    // before the flush would have stopped waiting for the writer.
    const auto start = Clock::now();
    o.Close();
    EXPECT_LT(ElapsedMs(start), TOwnedDispatcher::kFlushWaitMs);
    EXPECT_TRUE(o.PumpUntil([&] { return !o.D().ThreadsRunning(); }));

    // Once the device is back the port opens again and data flows.
    pty = std::make_unique<TPtyPair>();
    TPortsEnv env2(pty->Path());
    o.received.clear();
    ASSERT_EQ(o.Open(), 0);
    SKIP_WITHOUT_THREADS(o);
    ASSERT_TRUE(pty->Write("$GPRMC"));
    ASSERT_TRUE(o.PumpUntil([&] { return o.received.size() == 6; }));
    o.Close();
}

TEST(PosixEndToEnd, OwnerNotPumpingPastTheSendTimeOut) {
    TPtyPair pty;
    ASSERT_TRUE(pty.Ok());
    TPortsEnv env(pty.Path());
    TPtyOwner o;
    ASSERT_EQ(o.Open(), 0);
    SKIP_WITHOUT_THREADS(o);

    // The owner serves no messages until the notice has given up waiting
    // for it (after 3000 ms); the writer goes on meanwhile.
    ASSERT_TRUE(pty.Write("hello"));
    ASSERT_TRUE(testsupport::Eventually([&] { return o.D().NoticeBusy(); }, 60000));
    ASSERT_EQ(o.D().WriteBlock("out"), 0);
    EXPECT_EQ(pty.Read(3, 60000), "out");
    ASSERT_TRUE(testsupport::Eventually([&] { return !o.D().NoticeBusy(); }, 60000));
    // The notice timed out unseen; nothing was taken or lost: a new notice
    // offers every unread byte though nothing more came.
    ASSERT_TRUE(o.PumpUntil([&] { return o.received.size() == 5; }));
    EXPECT_EQ(o.received, "hello");
    EXPECT_EQ(o.counts, (std::vector<uint32_t>{5}));
    o.Close();
}

}  // namespace
