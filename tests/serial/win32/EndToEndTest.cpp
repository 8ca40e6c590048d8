// An open Win32 dispatcher running by itself over real COM ports: bytes from
// a far end reach a window handler on its own thread as data-available
// notices, bytes written go out through the writer thread, and the port
// closes cleanly, also from inside a notice.
#include <windows.h>
// after windows.h, which it needs
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial/diag/ErrorCodes.h"
#include "serial/win32/WinPorts.h"
#include "toolkit/Messages.h"

namespace {

using namespace winports;

constexpr uint32_t kBlockMsg = tk::kMsgUser + 1;  // wParam: ms to stay away from the queue

// What a handler saw: the count of every notice and the bytes it took.
struct TSeen {
    std::vector<uint32_t> counts;
    std::string bytes;
};

// A window handler on a thread of its own that pumps messages until it ends.
// take(count) says how many bytes of a notice it takes.
class THandlerThread {
  public:
    explicit THandlerThread(std::function<uint32_t(uint32_t)> take = {}) : take_(std::move(take)) {
        std::promise<void> ready;
        auto started = ready.get_future();
        thread_ = std::thread([this, &ready] { Run(ready); });
        started.wait();
    }
    ~THandlerThread() {
        stop_ = true;
        tk::PostToWindow(window_, tk::kMsgUser + 2, 0, 0);
        thread_.join();
    }
    THandlerThread(const THandlerThread&) = delete;
    THandlerThread& operator=(const THandlerThread&) = delete;

    tk::TWindowHandle Window() const { return window_; }
    void Attach(TRirBaseDispatcher* d) { d_ = d; }
    // What runs inside a notice after the bytes were taken.
    void AfterTake(std::function<void()> f) {
        std::lock_guard<std::mutex> g(m_);
        after_ = std::move(f);
    }
    // Keeps the thread away from its queue for ms milliseconds.
    void Block(uint32_t ms) { tk::PostToWindow(window_, kBlockMsg, ms, 0); }

    TSeen Seen() {
        std::lock_guard<std::mutex> g(m_);
        return seen_;
    }
    // Waits until pred(seen) holds; false after timeoutMs.
    bool WaitFor(const std::function<bool(const TSeen&)>& pred, uint32_t timeoutMs = 10000) {
        std::unique_lock<std::mutex> lk(m_);
        return cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return pred(seen_); });
    }
    bool WaitForBytes(size_t n, uint32_t timeoutMs = 10000) {
        return WaitFor([n](const TSeen& s) { return s.bytes.size() >= n; }, timeoutMs);
    }

  private:
    void Run(std::promise<void>& ready) {
        window_ = tk::CreateNotifyWindow(
            "PalmoTestHandler",
            [this](tk::TWindowHandle, uint32_t msg, tk::TWParam w, tk::TLParam) -> tk::TLResult {
                if (msg == MsgTriggerAvail) {
                    OnAvail(static_cast<uint32_t>(w));
                } else if (msg == kBlockMsg) {
                    Sleep(static_cast<DWORD>(w));
                }
                return 0;
            });
        ready.set_value();
        while (!stop_) {
            tk::TMessage m;
            while (tk::TakeMessage(m)) {
                tk::DispatchTaken(m);
            }
            tk::WaitForMessage(50);
        }
        tk::DestroyNotifyWindow(window_);
    }

    void OnAvail(uint32_t count) {
        const uint32_t want = take_ ? take_(count) : count;
        std::string got;
        if (want == count && count > 64) {
            got.resize(count);
            got.resize(d_.load()->ReadBlock(got.data(), count));
        } else {
            char c = 0;
            while (got.size() < want && d_.load()->ReadChar(c) == 0) {
                got += c;
            }
        }
        std::function<void()> after;
        {
            std::lock_guard<std::mutex> g(m_);
            seen_.counts.push_back(count);
            seen_.bytes += got;
            after = after_;
        }
        cv_.notify_all();
        if (after) {
            after();
        }
    }

    std::function<uint32_t(uint32_t)> take_;
    std::atomic<TRirBaseDispatcher*> d_{nullptr};
    std::atomic<bool> stop_{false};
    tk::TWindowHandle window_ = 0;
    std::thread thread_;
    std::mutex m_;
    std::condition_variable cv_;
    TSeen seen_;
    std::function<void()> after_;
};

// Opens d on COMn with threads and registers the handler's window for notices.
int32_t OpenWithHandler(TRirBaseDispatcher& d, int n, THandlerThread& h, uint32_t outSize = 4096) {
    const int32_t r = OpenOn(d, n, outSize);
    if (r != 0) {
        return r;
    }
    h.Attach(&d);
    d.SetAvailThreshold(1);
    d.AddWindowHandler(h.Window());
    d.RecomputeHandlerNeed(1);
    return 0;
}

std::string Stream(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    uint32_t x = seed;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1664525u + 1013904223u;
        s[i] = static_cast<char>(x >> 24);
    }
    return s;
}

int ProcessThreads() {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 te{};
    te.dwSize = sizeof(te);
    int n = 0;
    if (Thread32First(snap, &te)) {
        do {
            if (te.th32OwnerProcessID == GetCurrentProcessId()) {
                ++n;
            }
        } while (Thread32Next(snap, &te));
    }
    CloseHandle(snap);
    return n;
}

// The number of handles the process holds, or, where the system does not
// count them (Wine), the value of a fresh handle: handle slots are reused,
// so leaked handles push it up.
uintptr_t HandleMeasure() {
    DWORD n = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &n) && n != 0) {
        return n;
    }
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const auto v = reinterpret_cast<uintptr_t>(e) / 4;
    CloseHandle(e);
    return v;
}

// Processor time of the whole process so far, in ms.
uint64_t ProcessCpuMs() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ms = [](const FILETIME& t) {
        return ((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000;
    };
    return ms(kernel) + ms(user);
}

// Writes a whole block through the output ring as room frees up.
bool SendAll(TRirBaseDispatcher& d, const std::string& data, uint32_t timeoutMs = 20000) {
    size_t done = 0;
    uint32_t last = Now();
    while (done < data.size()) {
        const uint32_t room = d.OutputRoom();
        if (room == 0) {
            if (Now() - last > timeoutMs) {
                return false;
            }
            Sleep(1);
            continue;
        }
        const uint32_t n =
            static_cast<uint32_t>(std::min<size_t>({room, data.size() - done, 4096}));
        if (d.WriteBlock(data.data() + done, n) != 0) {
            return false;
        }
        done += n;
        last = Now();
    }
    return true;
}

TEST(Win32EndToEnd, NoticesCarryExactCountsAndBytesInOrder) {
    REQUIRE_COM_PAIRS();
    THandlerThread h;
    TRirWin32Dispatcher d(nullptr);
    ASSERT_EQ(OpenWithHandler(d, 1, h), 0);
    EXPECT_TRUE(d.ThreadsRunning());
    TFarEnd peer(2);
    ASSERT_TRUE(peer.Ok());

    // One chunk at a time, each taken whole before the next is sent.
    std::string sent;
    for (const std::string& chunk : {std::string("$GPRMC,1*00\r\n"), std::string("x"),
                                     Stream(700, 3), std::string("\0\xFF\x7E", 3)}) {
        ASSERT_TRUE(peer.Write(chunk));
        sent += chunk;
        ASSERT_TRUE(h.WaitForBytes(sent.size())) << sent.size();
    }
    const TSeen seen = h.Seen();
    EXPECT_EQ(seen.bytes, sent);
    // Every notice offered only bytes not yet taken, and the handler took all
    // of each: the counts add up to the bytes exactly.
    uint64_t total = 0;
    for (uint32_t c : seen.counts) {
        EXPECT_GT(c, 0u);
        total += c;
    }
    EXPECT_EQ(total, sent.size());
    EXPECT_EQ(d.InputCount(), 0u);

    // And the other way: bytes written go out through the writer thread.
    ASSERT_EQ(d.WriteBlock("to the far end"), 0);
    EXPECT_EQ(peer.Read(14), "to the far end");
    d.ClosePort();
    EXPECT_FALSE(d.ThreadsRunning());
    EXPECT_FALSE(d.IsOpen());
}

TEST(Win32EndToEnd, AHandlerTakingPartOfANoticeIsOfferedTheRestWithNewBytes) {
    REQUIRE_COM_PAIRS();
    THandlerThread h([](uint32_t) { return 2u; });
    TRirWin32Dispatcher d(nullptr);
    ASSERT_EQ(OpenWithHandler(d, 3, h), 0);
    TFarEnd peer(4);
    ASSERT_TRUE(peer.Ok());

    ASSERT_TRUE(peer.Write("abcde"));
    ASSERT_TRUE(h.WaitForBytes(2));
    // Three bytes stay unread and are not offered again by themselves.
    Sleep(300);
    EXPECT_EQ(h.Seen().counts.size(), 1u);
    EXPECT_EQ(d.InputCount(), 3u);

    ASSERT_TRUE(peer.Write("f"));
    ASSERT_TRUE(h.WaitForBytes(4));
    const TSeen seen = h.Seen();
    EXPECT_EQ(seen.bytes, "abcd");
    ASSERT_EQ(seen.counts.size(), 2u);
    EXPECT_EQ(seen.counts[0], 5u);  // if the five came as one arrival
    EXPECT_EQ(seen.counts[1], 4u);  // "cdef": everything unread
    EXPECT_EQ(d.InputCount(), 2u);
}

TEST(Win32EndToEnd, TwoHandlersSeeTheSameBytesAndTheTailMovesByTheMost) {
    REQUIRE_COM_PAIRS();
    THandlerThread one([](uint32_t) { return 1u; });
    THandlerThread three([](uint32_t) { return 3u; });
    TRirWin32Dispatcher d(nullptr);
    ASSERT_EQ(OpenWithHandler(d, 1, one), 0);
    three.Attach(&d);
    d.AddWindowHandler(three.Window());
    TFarEnd peer(2);
    ASSERT_TRUE(peer.Write("abcd"));
    ASSERT_TRUE(one.WaitForBytes(1));
    ASSERT_TRUE(three.WaitForBytes(3));
    EXPECT_EQ(one.Seen().bytes, "a");
    EXPECT_EQ(three.Seen().bytes, "abc");
    const uint32_t start = Now();
    while (d.InputCount() != 1 && Now() - start < 5000) {
        Sleep(1);
    }
    EXPECT_EQ(d.InputCount(), 1u);  // the tail moved by 3

    ASSERT_TRUE(peer.Write("e"));
    ASSERT_TRUE(three.WaitForBytes(5));
    EXPECT_EQ(three.Seen().bytes, "abcde");
    EXPECT_EQ(one.Seen().bytes, "ad");
    EXPECT_EQ(three.Seen().counts.back(), 2u);  // "de"
}

TEST(Win32EndToEnd, AMegabyteEachWayAtFullSpeed) {
    REQUIRE_COM_PAIRS();
    constexpr size_t kSize = 1 << 20;
    const std::string in = Stream(kSize, 11);
    const std::string out = Stream(kSize, 12);
    THandlerThread h;
    TRirWin32Dispatcher d(nullptr);
    ASSERT_EQ(OpenWithHandler(d, 5, h, 16384), 0);
    TFarEnd peer(6);
    ASSERT_TRUE(peer.Ok());

    std::string farGot;
    std::thread farReader([&] { farGot = peer.Read(kSize, 10000); });
    std::thread farWriter([&] { peer.Write(in); });
    const bool sent = SendAll(d, out);
    farWriter.join();
    const bool received = h.WaitForBytes(kSize, 60000);
    farReader.join();
    EXPECT_TRUE(sent);
    EXPECT_TRUE(received);

    // Nothing lost, duplicated or reordered across the rings' wraps.
    const TSeen seen = h.Seen();
    EXPECT_EQ(seen.bytes.size(), kSize);
    EXPECT_TRUE(seen.bytes == in) << "input differs";
    EXPECT_EQ(farGot.size(), kSize);
    EXPECT_TRUE(farGot == out) << "output differs";
    uint64_t total = 0;
    for (uint32_t c : seen.counts) {
        total += c;
    }
    EXPECT_EQ(total, kSize);
    EXPECT_EQ(d.OutputCount(), 0u);
}

TEST(Win32EndToEnd, ClosingFromInsideANoticeIsFinishedByTheDispatchThread) {
    REQUIRE_COM_PAIRS();
    THandlerThread h;
    TRirWin32Dispatcher d(nullptr);
    ASSERT_EQ(OpenWithHandler(d, 3, h), 0);
    std::atomic<bool> closed{false};
    std::atomic<bool> pendingInside{false};
    h.AfterTake([&] {
        if (!closed.exchange(true)) {
            d.ClosePort();
            pendingInside = d.ClosePending();
        }
    });
    TFarEnd peer(4);
    ASSERT_TRUE(peer.Write("close now"));
    ASSERT_TRUE(h.WaitForBytes(9));
    const uint32_t start = Now();
    while ((d.ThreadsRunning() || d.HasBuffers()) && Now() - start < 10000) {
        Sleep(5);
    }
    EXPECT_TRUE(closed);
    EXPECT_TRUE(pendingInside);  // the release was left to the dispatch thread
    EXPECT_FALSE(d.ThreadsRunning());
    EXPECT_FALSE(d.HasBuffers());
    EXPECT_FALSE(d.IsOpen());
    EXPECT_EQ(h.Seen().counts.size(), 1u);

    // The port is free again at once.
    TRirWin32Dispatcher again(nullptr);
    ASSERT_EQ(OpenOn(again, 3), 0);
}

TEST(Win32EndToEnd, TwoHundredOpenCloseCyclesLeaveNoHandleOrThread) {
    REQUIRE_COM_PAIRS();
    TFarEnd peer(2);
    ASSERT_TRUE(peer.Ok());
    const int threadsBefore = ProcessThreads();
    const uintptr_t handlesBefore = HandleMeasure();
    for (int i = 0; i < 200; ++i) {
        auto d = std::make_unique<TRirWin32Dispatcher>(nullptr);
        ASSERT_EQ(OpenOn(*d, 1), 0) << i;
        ASSERT_TRUE(d->ThreadsRunning());
        if (i % 50 == 0) {
            ASSERT_EQ(d->WriteBlock("ping"), 0);
            EXPECT_EQ(peer.Read(4), "ping") << i;
        }
        d->ClosePort();
        ASSERT_FALSE(d->ThreadsRunning()) << i;
    }
    // Threads of the system's own may come and go; none of ours stays.
    uint32_t start = Now();
    while (ProcessThreads() > threadsBefore && Now() - start < 5000) {
        Sleep(10);
    }
    EXPECT_LE(ProcessThreads(), threadsBefore);
    EXPECT_LE(HandleMeasure(), handlesBefore + 16);
}

TEST(Win32EndToEnd, StartingThreadsTwiceRaisesAndKeepsTheFirst) {
    REQUIRE_COM_PAIRS();
    THandlerThread h;
    TRirWin32Dispatcher d(nullptr);
    ASSERT_EQ(OpenWithHandler(d, 1, h), 0);
    try {
        d.StartThreads();
        ADD_FAILURE() << "no exception";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Dispatcher already started");
    }
    EXPECT_TRUE(d.ThreadsRunning());
    TFarEnd peer(2);
    ASSERT_TRUE(peer.Write("still running"));
    EXPECT_TRUE(h.WaitForBytes(13));
}

TEST(Win32EndToEnd, AnOutputFlushAbandonsAStuckWriteAndEmptiesTheRing) {
    REQUIRE_COM_PAIRS();
    TRirWin32Dispatcher d(nullptr);
    ASSERT_EQ(OpenOn(d, 5, 65536), 0);
    TFarEnd peer(6);  // reads nothing until the flush: the pair fills up
    ASSERT_TRUE(peer.Ok());
    const std::string big = Stream(65536, 5);
    ASSERT_EQ(d.WriteBlock(big), 0);
    // Wait until the writer is stuck: the ring stops draining.
    uint32_t last = d.OutputCount();
    uint32_t steadySince = Now();
    const uint32_t start = Now();
    while (Now() - steadySince < 300 && Now() - start < 10000) {
        Sleep(20);
        const uint32_t now = d.OutputCount();
        if (now != last) {
            last = now;
            steadySince = Now();
        }
    }
    ASSERT_GT(last, 0u) << "the pair took the whole block";

    EXPECT_EQ(d.ClearOutput(), 0);
    EXPECT_EQ(d.OutputCount(), 0u);
    // The writer is free again: a new block goes out after what was stuck.
    const std::string got = peer.Read(65536 + 4, 1000);
    EXPECT_LT(got.size(), 65536u);
    EXPECT_EQ(got, big.substr(0, got.size()));
    ASSERT_EQ(d.WriteBlock("tail"), 0);
    EXPECT_EQ(peer.Read(4), "tail");
}

TEST(Win32EndToEnd, AnOwnerNotPumpingPastTheSendTimeOutLosesNothing) {
    REQUIRE_COM_PAIRS();
    THandlerThread h;
    TRirWin32Dispatcher d(nullptr);
    ASSERT_EQ(OpenWithHandler(d, 3, h), 0);
    TFarEnd peer(4);
    ASSERT_TRUE(peer.Write("1"));
    ASSERT_TRUE(h.WaitForBytes(1));

    // The handler's thread stays away longer than the 3000 ms a notice waits.
    h.Block(3600);
    Sleep(50);
    ASSERT_TRUE(peer.Write("abc"));
    // Meanwhile the port keeps working in the other direction.
    ASSERT_EQ(d.WriteBlock("out"), 0);
    EXPECT_EQ(peer.Read(3), "out");
    // The timed-out notice is never delivered late; a new one offers the
    // unread bytes, all of them, though nothing more came.
    ASSERT_TRUE(h.WaitForBytes(4));
    const TSeen seen = h.Seen();
    EXPECT_EQ(seen.bytes, "1abc");
    EXPECT_EQ(seen.counts.back(), 3u);
}

TEST(Win32EndToEnd, AFarEndThatVanishesMidStreamLeavesAPortThatCloses) {
    REQUIRE_COM_PAIRS();
    THandlerThread h;
    TRirWin32Dispatcher d(nullptr);
    ASSERT_EQ(OpenWithHandler(d, 7, h), 0);
    TFarEnd peer(8);
    ASSERT_TRUE(peer.Ok());
    const std::string stream = Stream(200000, 21);
    std::atomic<bool> stop{false};
    std::thread farWriter([&] {
        for (size_t i = 0; i < stream.size() && !stop; i += 1000) {
            if (!peer.Write(stream.substr(i, 1000))) {
                break;
            }
            Sleep(1);
        }
    });
    ASSERT_TRUE(h.WaitForBytes(20000));
    MakePairVanish(7);
    // The stream stops; what came is a clean prefix of what was sent.
    uint32_t start = Now();
    size_t seenBytes = h.Seen().bytes.size();
    uint32_t quietSince = Now();
    while (Now() - quietSince < 500 && Now() - start < 10000) {
        Sleep(50);
        const size_t n = h.Seen().bytes.size();
        if (n != seenBytes) {
            seenBytes = n;
            quietSince = Now();
        }
    }
    stop = true;
    peer.Close();
    farWriter.join();
    const std::string got = h.Seen().bytes;
    EXPECT_LT(got.size(), stream.size());
    EXPECT_EQ(got, stream.substr(0, got.size()));

    // A lost line does not keep the port's threads busy.
    const uint64_t cpuBefore = ProcessCpuMs();
    Sleep(1000);
    const uint64_t cpuUsed = ProcessCpuMs() - cpuBefore;
    EXPECT_LT(cpuUsed, 200u);

    // Writing to the lost line neither blocks nor fails the caller.
    EXPECT_EQ(d.WriteBlock("anyone?"), 0);
    start = Now();
    d.ClosePort();
    EXPECT_LT(Now() - start, 10000u);
    EXPECT_FALSE(d.ThreadsRunning());
    EXPECT_FALSE(d.IsOpen());
}

}  // namespace
