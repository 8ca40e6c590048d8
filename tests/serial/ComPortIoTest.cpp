// The port component over real ports: opening and closing, the trigger
// events on the test thread, reading and writing, reopening on another
// port, the deferred close from inside an event, and failures.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "ComPortTestSupport.h"
#include "serial/PortProbe.h"
#include "serial/diag/ErrorCodes.h"
#include "toolkit/Component.h"
#include "toolkit/ExceptionDisplay.h"
#include "toolkit/Sync.h"

namespace {

using namespace cptest;

std::string FileText(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// A file name of this run in the temporary folder.
std::string TempName(const char* stem) {
    const auto dir = std::filesystem::temp_directory_path();
    return (dir / (std::string(stem) + "-" + std::to_string(std::random_device{}()))).string();
}

TEST(ComPortIo, TriggerAvailHandsOverExactCountsAndBytes) {
    REQUIRE_PORTS();
    [[maybe_unused]] TPorts ports;
    TFar remote(ports, kPortA);
    ASSERT_TRUE(remote.Ok());
    auto p = MakePort(kPortA);
    std::string got;
    std::vector<std::string> calls;
    int32_t pastEnd = 0;
    p->SetOnTrigger([&](TRirCustomComPort&, uint16_t msg, uint16_t h, uint16_t data) {
        calls.push_back("T" + std::to_string(msg) + "," + std::to_string(h) + "," +
                        std::to_string(data));
    });
    p->SetOnTriggerAvail([&](TRirCustomComPort& cp, uint16_t count) {
        calls.push_back("A" + std::to_string(count));
        // The receiver sees the port as its character source.
        TCharSource& source = cp;
        EXPECT_TRUE(source.Open());
        for (uint16_t i = 0; i < count; ++i) {
            got += source.ReceiveChar();
        }
        pastEnd = CodeOf([&] { cp.ReceiveChar(); });
    });
    p->SetOpen(true);
    ASSERT_TRUE(p->Open());
    EXPECT_EQ(p->OpenState(), osOpen);
    EXPECT_NE(p->NotifyWindow(), 0u);
    ASSERT_NE(p->CurrentDispatcher(), nullptr);

    const std::string sent = "$GPRMC,1*00\r\n\x01\xff";
    ASSERT_TRUE(remote.Write(sent));
    ASSERT_TRUE(PumpUntil([&] { return got.size() >= sent.size(); }));
    EXPECT_EQ(got, sent);
    EXPECT_EQ(pastEnd, ecBufferIsEmpty);
    // Each notice: the generic event first with the count as handle and
    // data, then the specific one with the same count.
    ASSERT_GE(calls.size(), 2u);
    ASSERT_EQ(calls.size() % 2, 0u);
    size_t total = 0;
    for (size_t i = 0; i < calls.size(); i += 2) {
        const std::string n = calls[i + 1].substr(1);
        EXPECT_EQ(calls[i], "T32257," + n + "," + n);
        total += std::stoul(n);
    }
    EXPECT_EQ(total, sent.size());

    // A message that names no registered dispatcher is ignored.
    const size_t before = calls.size();
    ASSERT_TRUE(tk::PostToWindow(p->NotifyWindow(), MsgTriggerAvail, 3,
                                 static_cast<tk::TLParam>(0xFFFEu << 16)));
    PumpFor(100);
    EXPECT_EQ(calls.size(), before);

    // Writing goes out to the remote end.
    p->SendString("hello");
    p->SendString("");
    EXPECT_EQ(remote.Read(5), "hello");

    p->SetOpen(false);
    EXPECT_FALSE(p->Open());
    EXPECT_EQ(p->OpenState(), osClosed);
    EXPECT_EQ(p->NotifyWindow(), 0u);
    EXPECT_TRUE(p->RestoreTriggersOnOpen());
}

TEST(ComPortIo, NoTriggerEventMeansNoMessages) {
    REQUIRE_PORTS();
    [[maybe_unused]] TPorts ports;
    TFar remote(ports, kPortA);
    auto p = MakePort<TCountingPort>(kPortA);
    p->SetOpen(true);
    ASSERT_TRUE(remote.Write("xyz"));
    TRirBaseDispatcher* d = p->CurrentDispatcher();
    ASSERT_TRUE(PumpUntil([&] { return d->InputCount() == 3; }));
    PumpFor(200);
    EXPECT_EQ(p->messages, 0);
    // The program reads the bytes itself.
    EXPECT_EQ(p->ReceiveChar(), 'x');
    EXPECT_EQ(p->ReceiveChar(), 'y');
    EXPECT_EQ(p->ReceiveChar(), 'z');
    EXPECT_EQ(CodeOf([&] { p->ReceiveChar(); }), ecBufferIsEmpty);
    // Blocks up to a stop character, as the receiver takes its lines.
    ASSERT_TRUE(remote.Write("a\rbc"));
    ASSERT_TRUE(PumpUntil([&] { return d->InputCount() == 4; }));
    char block[8];
    EXPECT_EQ(p->ReceiveBlock(block, sizeof block, '\r'), 2u);
    EXPECT_EQ(std::string(block, 2), "a\r");
    EXPECT_EQ(p->ReceiveBlock(block, sizeof block, '\r'), 2u);
    EXPECT_EQ(std::string(block, 2), "bc");
    EXPECT_EQ(CodeOf([&] { p->ReceiveBlock(block, sizeof block, '\r'); }), ecBufferIsEmpty);

    // An event assigned while open takes effect at once.
    std::string got;
    p->SetOnTriggerAvail([&](TRirCustomComPort& cp, uint16_t count) {
        while (count-- > 0) {
            got += cp.ReceiveChar();
        }
    });
    ASSERT_TRUE(remote.Write("12"));
    ASSERT_TRUE(PumpUntil([&] { return got == "12"; }));
    EXPECT_GE(p->messages, 1);
}

TEST(ComPortIo, OpenFailures) {
    REQUIRE_PORTS();
    [[maybe_unused]] TPorts ports;
    std::vector<std::string> events;
    {
        auto p = MakePort(kMissingPort);
        p->SetOnPortOpen([&](tk::TComponent&) { events.push_back("open"); });
        const int32_t code = CodeOf([&] { p->SetOpen(true); });
        if (MissingPortsOpen()) {
            EXPECT_NE(code, 0);  // it fails at its queue set-up
        } else {
            EXPECT_EQ(code, ecBadId);
        }
        EXPECT_FALSE(p->Open());
        EXPECT_EQ(p->OpenState(), osClosed);
        EXPECT_EQ(p->NotifyWindow(), 0u);
    }
    {
        // No port chosen and no prompt; a prompt with no dialog available
        // ends as a cancelled dialog.
        TRirComPort p(nullptr);
        p.SetPromptForPort(false);
        EXPECT_EQ(CodeOf([&] { p.SetOpen(true); }), ecNoPortSelected);
        p.SetPromptForPort(true);
        EXPECT_EQ(CodeOf([&] { p.SetOpen(true); }), ecNoPortSelected);
        EXPECT_FALSE(p.Open());
        EXPECT_EQ(p.ComNumber(), 0);
        // A dialog that is cancelled, then one that picks a port.
        SetPortSelectDialog([](uint16_t&) { return false; });
        EXPECT_EQ(CodeOf([&] { p.SetOpen(true); }), ecNoPortSelected);
        SetPortSelectDialog([](uint16_t& n) {
            n = kPortB;
            return true;
        });
        p.SetBaud(115200);
        EXPECT_EQ(CodeOf([&] { p.SetOpen(true); }), 0);
        SetPortSelectDialog(nullptr);
        EXPECT_TRUE(p.Open());
        EXPECT_EQ(p.ComNumber(), kPortB);
    }
    {
        // The Winsock layer is not taken: the port opens with the Win32 layer's rules.
        auto p = MakePort(kPortA);
        p->SetDeviceLayer(dlWinsock);
        EXPECT_EQ(p->DeviceLayer(), dlWin32);
        p->SetOpen(true);
        EXPECT_TRUE(p->Open());
        if (SecondHolderRefused()) {
            // Another holder of the same port (another program, for the device).
            auto q = MakePort(kPortA);
            EXPECT_EQ(CodeOf([&] { q->SetOpen(true); }), ecAlreadyOpen);
            EXPECT_FALSE(q->Open());
        }
    }
    EXPECT_TRUE(events.empty());
}

TEST(ComPortIo, AutoOpenBothWays) {
    REQUIRE_PORTS();
    [[maybe_unused]] TPorts ports;
    TFar remote(ports, kPortA);
    {
        auto p = MakePort(kPortA);
        p->SendString("auto");
        EXPECT_TRUE(p->Open());
        EXPECT_EQ(remote.Read(4), "auto");
    }
    {
        auto p = MakePort(kPortA);
        p->SetAutoOpen(false);
        EXPECT_EQ(CodeOf([&] { p->SendString("x"); }), ecCommNotOpen);
        EXPECT_EQ(CodeOf([&] { p->ReceiveChar(); }), ecCommNotOpen);
        EXPECT_EQ(CodeOf([&] { p->ServicePort(); }), ecCommNotOpen);
        EXPECT_FALSE(p->Open());
        EXPECT_EQ(p->CurrentDispatcher(), nullptr);
    }
    {
        // Stored values: the port opens once streaming in has ended.
        TRirComPort p(nullptr);
        tk::LoadStoredValues(p, [&] {
            p.SetBaud(115200);
            p.SetComNumber(kPortA);
            p.SetOpen(true);
            EXPECT_EQ(p.OpenState(), osClosed);
            EXPECT_EQ(CodeOf([&] { p.SendString("x"); }), ecCommNotOpen);
        });
        EXPECT_TRUE(p.Open());
        EXPECT_EQ(p.OpenState(), osOpen);
        p.SendString("loaded");
        EXPECT_EQ(remote.Read(6), "loaded");
    }
}

TEST(ComPortIo, ChangingThePortWhileOpenReopensWithTriggersTraceAndLog) {
    REQUIRE_PORTS();
    [[maybe_unused]] TPorts ports;
    TFar remoteA(ports, kPortA);
    TFar remoteB(ports, kPortB);
    const std::string traceFile = TempName("cp-trace") + ".trc";
    const std::string logFile = TempName("cp-log") + ".log";
    std::remove(traceFile.c_str());
    std::remove(logFile.c_str());
    {
        std::vector<std::string> events;  // outlives the component, which reports its close
        auto p = MakePort(kPortA);
        p->SetTraceName(traceFile);
        p->SetLogName(logFile);
        p->SetTracing(tlOn);
        p->SetLogging(tlOn);
        p->SetOnPortOpen([&](tk::TComponent&) { events.push_back("open"); });
        p->SetOnPortClose([&](tk::TComponent&) { events.push_back("close"); });
        p->SetOpen(true);
        ASSERT_TRUE(p->Open());
        TRirBaseDispatcher* first = p->CurrentDispatcher();
        EXPECT_TRUE(first->Tracing());
        EXPECT_TRUE(first->Logging());
        first->SetAvailThreshold(5);
        p->SendString("ONE");
        ASSERT_EQ(remoteA.Read(3), "ONE");

        p->SetComNumber(kPortB);
        EXPECT_TRUE(p->Open());
        EXPECT_EQ(p->ComNumber(), kPortB);
        const std::vector<std::string> expected = {"open", "close", "open"};
        EXPECT_EQ(events, expected);
        TRirBaseDispatcher* second = p->CurrentDispatcher();
        ASSERT_NE(second, nullptr);
        EXPECT_EQ(second->AvailThreshold(), 5u);
        // Trace and log were written at the close and run again.
        EXPECT_NE(FileText(traceFile).find("ONE"), std::string::npos);
        EXPECT_FALSE(FileText(logFile).empty());
        EXPECT_EQ(p->Tracing(), tlOn);
        EXPECT_EQ(p->Logging(), tlOn);
        EXPECT_TRUE(second->Tracing());
        EXPECT_TRUE(second->Logging());
        p->SendString("TWO");
        EXPECT_EQ(remoteB.Read(3), "TWO");
        // Freeing the open component closes it and dumps the trace again.
    }
    const std::string trace = FileText(traceFile);
    EXPECT_NE(trace.find("TWO"), std::string::npos);
    EXPECT_EQ(trace.find("ONE"), std::string::npos);
    std::remove(traceFile.c_str());
    std::remove(logFile.c_str());

    // The port is free again for another component.
    auto q = MakePort(kPortB);
    q->SetOpen(true);
    EXPECT_TRUE(q->Open());
}

TEST(ComPortIo, SettingsReachTheOpenDispatcher) {
    REQUIRE_PORTS();
    [[maybe_unused]] TPorts ports;
    const std::string traceFile = TempName("cp-states") + ".trc";
    auto p = MakePort(kPortA);
    p->SetTraceName(traceFile);
    p->SetOpen(true);
    TRirBaseDispatcher* d = p->CurrentDispatcher();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->LastBaud(), 115200u);
    p->SetBaud(9600);
    EXPECT_EQ(d->LastBaud(), 9600u);
    EXPECT_TRUE(d->DtrState());
    p->SetDTR(false);
    EXPECT_FALSE(p->DTR());
    EXPECT_FALSE(d->DtrState());
    p->SetHWFlowOptions(hwfUseRTS);
    EXPECT_TRUE(d->RtsAuto());
    EXPECT_EQ(p->BufferFull(), 3686);
    p->SetHWFlowOptions(0);
    EXPECT_FALSE(d->RtsAuto());
    EXPECT_NE(d->OptionFlags() & 4u, 0u);
    p->SetUseEventWord(false);
    EXPECT_EQ(d->OptionFlags() & 4u, 0u);
    p->SetLengthTrigger(7);
    EXPECT_EQ(d->AvailThreshold(), 7u);

    // Trace states while open.
    p->SetTracing(tlOn);
    EXPECT_TRUE(d->Tracing());
    p->SetTracing(tlPause);
    EXPECT_EQ(p->Tracing(), tlPause);
    p->SetTracing(tlClear);
    EXPECT_EQ(p->Tracing(), tlPause);
    p->SetTracing(tlOn);
    EXPECT_EQ(p->Tracing(), tlOn);
    p->SetTraceSize(20000);  // restarts the trace at its new size
    EXPECT_EQ(p->Tracing(), tlOn);
    EXPECT_TRUE(d->Tracing());
    p->SendString("dump");
    p->SetTracing(tlDump);
    EXPECT_EQ(p->Tracing(), tlOff);
    EXPECT_NE(FileText(traceFile).find("dump"), std::string::npos);
    p->SetTracing(tlOn);
    p->SetTracing(tlOff);
    EXPECT_EQ(p->Tracing(), tlOff);
    EXPECT_FALSE(d->Tracing());
    std::remove(traceFile.c_str());

    // A trace that cannot be written is reported, and the port closes all the same.
    p->SetTraceName(TempName("no-such-folder") + "/x/trace.trc");
    p->SetTracing(tlOn);
    p->SendString("lost");
    EXPECT_ANY_THROW(p->SetOpen(false));
    EXPECT_FALSE(p->Open());
    EXPECT_EQ(p->OpenState(), osClosed);
    p->SetOpen(true);
    EXPECT_TRUE(p->Open());
}

TEST(ComPortIo, ClosingFromInsideTriggerAvailIsDeferred) {
    REQUIRE_PORTS();
    [[maybe_unused]] TPorts ports;
    TFar remote(ports, kPortA);
    std::vector<std::string> events;
    auto p = MakePort(kPortA);
    bool openInside = false;
    TOpenState stateInside = osOpen;
    bool readInside = true;
    p->SetOnPortClose([&](tk::TComponent&) { events.push_back("close"); });
    p->SetOnTrigger([&](TRirCustomComPort&, uint16_t msg, uint16_t h, uint16_t data) {
        events.push_back("T" + std::to_string(msg) + "," + std::to_string(h) + "," +
                         std::to_string(data));
    });
    p->SetOnTriggerAvail([&](TRirCustomComPort& cp, uint16_t) {
        events.push_back("avail");
        cp.SetOpen(false);
        events.push_back("after close");
        openInside = cp.Open();
        stateInside = cp.OpenState();
        readInside = cp.ReceiveChar() != 0;
        cp.SendString("dropped");
        // Asking to open again has no effect: Open reads true.
        cp.SetOpen(true);
    });
    p->SetOpen(true);
    ASSERT_TRUE(remote.Write("!"));
    ASSERT_TRUE(PumpUntil([&] { return p->OpenState() == osClosed; }));
    EXPECT_TRUE(openInside);
    EXPECT_EQ(stateInside, osClosing);
    EXPECT_FALSE(readInside);
    EXPECT_FALSE(p->Open());
    EXPECT_FALSE(p->ReopenRequested());
    EXPECT_EQ(p->CurrentDispatcher() != nullptr, true);  // AutoOpen opens it again
    p->SetOpen(false);
    ASSERT_GE(events.size(), 5u);
    EXPECT_EQ(events[0], "T32257,1,1");
    EXPECT_EQ(events[1], "avail");
    EXPECT_EQ(events[2], "close");
    EXPECT_EQ(events[3], "after close");
    EXPECT_EQ(events[4], "T32266,0,0");
    EXPECT_EQ(remote.Read(7, 200), "");
}

// Freed by its own handler: the rest of the delivery leaves the port alone,
// its dispatcher finishes the close once the event has returned, and the
// port opens again.
TEST(ComPortIo, FreedInsideItsOwnTriggerEvent) {
    REQUIRE_PORTS();
    [[maybe_unused]] TPorts ports;
    TFar remote(ports, kPortA);
    auto p = MakePort(kPortA);
    int events = 0;
    p->SetOnTrigger([&](TRirCustomComPort&, uint16_t, uint16_t, uint16_t) { ++events; });
    p->SetOnTriggerAvail([&](TRirCustomComPort&, uint16_t) {
        ++events;
        p.reset();
    });
    p->SetOpen(true);
    ASSERT_TRUE(remote.Write("x"));
    ASSERT_TRUE(PumpUntil([&] { return p == nullptr; }));
    PumpFor(200);
    EXPECT_EQ(events, 2);
    auto again = MakePort(kPortA);
    std::string got;
    again->SetOnTriggerAvail([&](TRirCustomComPort& cp, uint16_t count) {
        while (count-- > 0) {
            got += cp.ReceiveChar();
        }
    });
    again->SetOpen(true);
    ASSERT_TRUE(remote.Write("y"));
    ASSERT_TRUE(PumpUntil([&] { return got.find('y') != std::string::npos; }));
}

// A notice that the owner thread does not take within the send time-out
// (3 s) is offered again while its bytes wait, though nothing more comes.
TEST(ComPortIo, BytesOfANoticeTheOwnerMissedAreOfferedAgain) {
    REQUIRE_PORTS();
    [[maybe_unused]] TPorts ports;
    TFar remote(ports, kPortA);
    auto p = MakePort(kPortA);
    std::string got;
    p->SetOnTriggerAvail([&](TRirCustomComPort& cp, uint16_t count) {
        while (count-- > 0) {
            got += cp.ReceiveChar();
        }
    });
    p->SetOpen(true);
    ASSERT_TRUE(remote.Write("one line\r\n"));
    tk::Sleep(4000);  // busy elsewhere, serving no messages
    ASSERT_TRUE(PumpUntil([&] { return got == "one line\r\n"; }, 5000)) << got;
}

TEST(ComPortIo, AnExceptionInAHandlerIsShownAndLaterMessagesArrive) {
    REQUIRE_PORTS();
    [[maybe_unused]] TPorts ports;
    TFar remote(ports, kPortA);
    std::vector<std::string> shown;
    tk::SetExceptionDisplay([&](const std::exception* e) { shown.push_back(e ? e->what() : "?"); });
    auto p = MakePort(kPortA);
    std::string got;
    p->SetOnTriggerAvail([&](TRirCustomComPort& cp, uint16_t count) {
        while (count-- > 0) {
            got += cp.ReceiveChar();
        }
        if (got.find('!') != std::string::npos && shown.empty()) {
            throw ERirException("handler failed");
        }
    });
    p->SetOpen(true);
    ASSERT_TRUE(remote.Write("a!"));
    ASSERT_TRUE(PumpUntil([&] { return !shown.empty(); }));
    ASSERT_TRUE(remote.Write("bc"));
    ASSERT_TRUE(PumpUntil([&] { return got.find("bc") != std::string::npos; }));
    EXPECT_EQ(got, "a!bc");
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0], "handler failed");
    tk::SetExceptionDisplay(nullptr);
}

TEST(ComPortIo, ListenersHearOpenClosingAndClose) {
    REQUIRE_PORTS();
    [[maybe_unused]] TPorts ports;
    std::vector<std::string> heard;
    auto p = MakePort(kPortA);
    TPortListener plain;
    plain.Plain = [&](TRirCustomComPort&, bool opened) {
        heard.push_back(opened ? "plain open" : "plain close");
    };
    TPortListener ext;
    ext.UseExtended = true;
    ext.Extended = [&](TRirCustomComPort&, int state) {
        heard.push_back("ext " + std::to_string(state));
    };
    std::vector<uint32_t> windowHeard;
    const tk::TWindowHandle w = tk::CreateNotifyWindow(
        "listener", [&](tk::TWindowHandle, uint32_t msg, tk::TWParam, tk::TLParam) -> tk::TLResult {
            windowHeard.push_back(msg);
            return 0;
        });
    ASSERT_NE(w, 0u);
    TPortListener window;
    window.Window = w;
    window.UseExtended = true;
    p->AddPortListener(window);
    p->AddPortListener(plain);
    p->AddPortListener(ext);
    p->SetOnPortOpen([&](tk::TComponent&) { heard.push_back("OnPortOpen"); });
    p->SetOpen(true);
    p->SetOpen(false);
    const std::vector<std::string> expected = {"ext 0", "plain open", "OnPortOpen",
                                               "ext 1", "ext 2",      "plain close"};
    EXPECT_EQ(heard, expected);
    const std::vector<uint32_t> windowExpected = {MsgPortOpened, MsgPortClose, MsgPortClosed};
    EXPECT_EQ(windowHeard, windowExpected);
    EXPECT_EQ(p->RemovePortListener(w), 1u);
    tk::DestroyNotifyWindow(w);
    // Assigning from an open port carries its triggers to the next open.
    p->SetOpen(true);
    TRirComPort copy(nullptr);
    copy.Assign(*p);
    EXPECT_TRUE(copy.RestoreTriggersOnOpen());
    EXPECT_FALSE(copy.Open());
    EXPECT_EQ(copy.PortListeners().size(), 2u);
    EXPECT_EQ(p->CurrentDispatcher()->AvailThreshold(), 1u);
    EXPECT_TRUE(p->Open());
}

}  // namespace
