#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "toolkit/Messages.h"
#include "toolkit/OsInfo.h"
#include "toolkit/Sync.h"
#include "toolkit/posix/MessageQueuePosix.h"

namespace {

bool Readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN);
}

TEST(PosixToolkit, WindowsErrorTexts) {
    const std::pair<uint32_t, const char*> expected[] = {
        {2, "The system cannot find the file specified.\r\n"},
        {3, "The system cannot find the path specified.\r\n"},
        {5, "Access is denied.\r\n"},
        {6, "The handle is invalid.\r\n"},
        {8, "Not enough memory resources are available to process this command.\r\n"},
        {21, "The device is not ready.\r\n"},
        {31, "A device attached to the system is not functioning.\r\n"},
        {87, "The parameter is incorrect.\r\n"},
        {121, "The semaphore timeout period has expired.\r\n"},
        {170, "The requested resource is in use.\r\n"},
        {995,
         "The I/O operation has been aborted because of either a thread exit or an application "
         "request.\r\n"},
        {1117, "The request could not be performed because of an I/O device error.\r\n"},
        {1167, "The device is not connected.\r\n"},
    };
    for (const auto& [code, text] : expected) {
        EXPECT_EQ(tk::SystemErrorText(code), text) << code;
    }
    EXPECT_NE(tk::OsDescription().find(' '), std::string::npos);
}

TEST(PosixToolkit, WakeDescriptorFollowsTheQueue) {
    std::atomic<int> calls{0};
    const tk::TWindowHandle w = tk::CreateNotifyWindow(
        "PalmoTestWindow",
        [&](tk::TWindowHandle, uint32_t, tk::TWParam, tk::TLParam) -> tk::TLResult {
            ++calls;
            return 0;
        });
    const int fd = tk::MessageWakeDescriptor();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(tk::MessageWakeDescriptor(), fd) << "one descriptor per thread";
    EXPECT_FALSE(Readable(fd, 0));
    {
        tk::TThread poster([&] { tk::PostToWindow(w, tk::kMsgUser, 0, 0); });
    }
    EXPECT_TRUE(Readable(fd, 5000));
    tk::TMessage m;
    ASSERT_TRUE(tk::TakeMessage(m));
    tk::DispatchTaken(m);
    EXPECT_FALSE(Readable(fd, 0)) << "drained once the queue is empty";

    // A send from another thread also makes it readable; serving drains it.
    std::atomic<bool> sent{false};
    tk::TThread sender([&] { sent = tk::SendToWindow(w, tk::kMsgUser, 0, 0, 5000, nullptr); });
    EXPECT_TRUE(Readable(fd, 5000));
    EXPECT_FALSE(tk::TakeMessage(m)) << "nothing posted; the send is served";
    ASSERT_TRUE(sender.WaitFor(5000));
    EXPECT_TRUE(sent);
    EXPECT_EQ(calls.load(), 2);
    EXPECT_FALSE(Readable(fd, 0));

    tk::PostQuitMessage(3);
    EXPECT_TRUE(Readable(fd, 0));
    ASSERT_TRUE(tk::TakeMessage(m));
    EXPECT_EQ(m.msg, tk::kMsgQuit);
    EXPECT_FALSE(Readable(fd, 0));
    tk::DestroyNotifyWindow(w);
}

TEST(PosixToolkit, LowerPrioritiesReachTheNiceValue) {
    tk::TEvent set(true, false);
    tk::TEvent done(true, false);
    std::atomic<int> niceSeen{-100};
    tk::TThread t([&] {
        set.Wait(tk::kInfinite);
        errno = 0;
        niceSeen = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
        done.Set();
    });
    t.SetPriority(tk::TThreadPriority::Lowest);
    set.Set();
    ASSERT_EQ(done.Wait(5000), tk::kWaitObject0);
    // Counted from the nice value the process runs at (ctest may run under nice).
    EXPECT_EQ(niceSeen.load(), std::min(getpriority(PRIO_PROCESS, 0) + 10, 19));
    EXPECT_EQ(t.Priority(), tk::TThreadPriority::Lowest);
}

}  // namespace
