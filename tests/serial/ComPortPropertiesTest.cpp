// The port component without a device: defaults, the setters' rules, the
// component model it lives in, streaming in and copying.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ComPortTestSupport.h"
#include "serial/diag/ErrorCodes.h"
#include "toolkit/Component.h"
#include "toolkit/ExceptionDisplay.h"

namespace {

using namespace cptest;

TEST(ComPortProperties, ANewComponentHasItsDefaults) {
    TRirComPort p(nullptr);
    EXPECT_EQ(p.Version(), "v4.06");
    p.SetVersion("v9");
    EXPECT_EQ(p.Version(), "v4.06");
    EXPECT_EQ(p.DeviceLayer(), dlWin32);
    EXPECT_EQ(p.ComNumber(), 0);
    EXPECT_EQ(p.Baud(), 19200);
    EXPECT_TRUE(p.PromptForPort());
    EXPECT_EQ(p.Parity(), pNone);
    EXPECT_EQ(p.DataBits(), 8);
    EXPECT_EQ(p.StopBits(), 1);
    EXPECT_EQ(p.InSize(), 4096);
    EXPECT_EQ(p.OutSize(), 4096);
    EXPECT_TRUE(p.AutoOpen());
    EXPECT_FALSE(p.Open());
    EXPECT_TRUE(p.DTR());
    EXPECT_TRUE(p.RTS());
    EXPECT_EQ(p.HWFlowOptions(), 0);
    EXPECT_EQ(p.SWFlowOptions(), swfNone);
    EXPECT_EQ(p.XOnChar(), 17);
    EXPECT_EQ(p.XOffChar(), 19);
    EXPECT_EQ(p.BufferFull(), 0);
    EXPECT_EQ(p.BufferResume(), 0);
    EXPECT_EQ(p.Tracing(), tlOff);
    EXPECT_EQ(p.Logging(), tlOff);
    EXPECT_EQ(p.TraceSize(), 10000u);
    EXPECT_EQ(p.LogSize(), 10000u);
    EXPECT_EQ(p.TraceName(), "VIRA.TRC");
    EXPECT_EQ(p.LogName(), "VIRA.LOG");
    EXPECT_TRUE(p.TraceHex());
    EXPECT_TRUE(p.LogHex());
    EXPECT_FALSE(p.TraceAllHex());
    EXPECT_FALSE(p.LogAllHex());
    EXPECT_TRUE(p.UseEventWord());
    EXPECT_TRUE(p.UseMSRShadow());
    EXPECT_EQ(p.CommNotificationLevel(), 10);
    EXPECT_EQ(p.TapiMode(), tmAuto);
    EXPECT_FALSE(p.RS485Mode());
    EXPECT_EQ(p.LengthTrigger(), 1);
    EXPECT_EQ(p.PriorityBoost(), 0);
    EXPECT_EQ(p.OpenState(), osClosed);
    EXPECT_FALSE(p.ReapplyFlag() || p.OpenAfterLoad() || p.ReopenRequested());
    EXPECT_FALSE(p.RestoreTriggersOnOpen());
    EXPECT_TRUE(p.PortListeners().empty());
    EXPECT_EQ(p.NotifyWindow(), 0u);
    EXPECT_FALSE(p.OnTrigger() || p.OnTriggerAvail() || p.OnPortOpen() || p.OnPortClose());
    // Asking for the dispatcher of a component that may not open itself.
    p.SetAutoOpen(false);
    EXPECT_EQ(p.CurrentDispatcher(), nullptr);
    EXPECT_EQ(CodeOf([&] { p.RequireDispatcher(); }), ecCommNotOpen);
    EXPECT_EQ(CodeOf([&] { p.ReceiveChar(); }), ecCommNotOpen);
    EXPECT_EQ(CodeOf([&] { p.SendString("x"); }), ecCommNotOpen);
    EXPECT_EQ(p.ReadLineError(), 0);
    EXPECT_FALSE(p.ReadLineBreak());
}

TEST(ComPortProperties, SettersOnAClosedComponent) {
    TRirComPort p(nullptr);
    // Trace and log states: only off and on are kept while closed.
    p.SetTracing(tlDump);
    EXPECT_EQ(p.Tracing(), tlOff);
    p.SetTracing(tlOn);
    EXPECT_EQ(p.Tracing(), tlOn);
    p.SetTracing(tlPause);
    EXPECT_EQ(p.Tracing(), tlOff);
    p.SetLogging(tlOn);
    EXPECT_EQ(p.Logging(), tlOn);
    p.SetLogging(tlAppend);
    EXPECT_EQ(p.Logging(), tlOff);
    p.SetTraceSize(5000000);
    EXPECT_EQ(p.TraceSize(), 4000000u);
    p.SetLogSize(20000000);
    EXPECT_EQ(p.LogSize(), 16000000u);
    p.SetLogSize(123);
    EXPECT_EQ(p.LogSize(), 123u);
    p.SetTraceName(std::string(300, 'n'));
    EXPECT_EQ(p.TraceName().size(), 255u);

    // Only the Win32 layer is supported; the shadow switch stays on.
    p.SetDeviceLayer(dlWinsock);
    EXPECT_EQ(p.DeviceLayer(), dlWin32);
    p.SetUseMSRShadow(false);
    EXPECT_TRUE(p.UseMSRShadow());
    p.SetComNumber(7);
    EXPECT_EQ(p.ComNumber(), 7);
    EXPECT_EQ(p.OpenState(), osClosed);
}

TEST(ComPortProperties, FlowControlThresholds) {
    {
        TRirComPort p(nullptr);
        p.SetHWFlowOptions(hwfUseRTS);
        EXPECT_EQ(p.BufferFull(), 3686);
        EXPECT_EQ(p.BufferResume(), 409);
        EXPECT_EQ(p.HWFlowOptions(), hwfUseRTS);
    }
    {
        TRirComPort p(nullptr);
        p.SetSWFlowOptions(swfBoth);
        EXPECT_EQ(p.BufferFull(), 3072);
        EXPECT_EQ(p.BufferResume(), 1024);
        EXPECT_EQ(p.SWFlowOptions(), swfBoth);
    }
    {
        // Thresholds inside their limits stay.
        TRirComPort p(nullptr);
        p.SetBufferFull(2000);
        p.SetBufferResume(100);
        p.SetHWFlowOptions(hwfUseDTR | hwfRequireDSR);
        EXPECT_EQ(p.BufferFull(), 2000);
        EXPECT_EQ(p.BufferResume(), 100);
        // A resume above the full mark becomes a tenth of it.
        p.SetBufferResume(2500);
        EXPECT_EQ(p.BufferResume(), 200);
    }
    {
        TRirComPort p(nullptr);
        p.SetBufferFull(5000);
        EXPECT_EQ(p.BufferFull(), 4500);
    }
    {
        TRirComPort p(nullptr);
        p.SetHWFlowOptions(hwfUseDTR);
        p.SetBufferFull(5000);
        EXPECT_EQ(p.BufferFull(), 3686);
    }
    {
        // RS-485 and RTS/CTS flow control exclude each other.
        TRirComPort p(nullptr);
        p.SetHWFlowOptions(hwfUseDTR | hwfUseRTS | hwfRequireCTS);
        p.SetRS485Mode(true);
        EXPECT_TRUE(p.RS485Mode());
        EXPECT_EQ(p.HWFlowOptions(), hwfUseDTR);
        EXPECT_FALSE(p.RTS());
        p.SetHWFlowOptions(hwfUseDTR | hwfRequireCTS);
        EXPECT_FALSE(p.RS485Mode());
    }
}

// A component that records its life in a shared list.
struct TRecorder : tk::TComponent {
    TRecorder(tk::TComponent* owner, std::string name, std::vector<std::string>& log)
        : tk::TComponent(owner), log_(log) {
        SetName(std::move(name));
    }
    ~TRecorder() override { log_.push_back("free " + Name()); }
    void Loaded() override { log_.push_back("loaded " + Name() + (Loading() ? " loading" : "")); }
    std::vector<std::string>& log_;
};

TEST(ComPortProperties, TheComponentModel) {
    std::vector<std::string> log;
    int shown = 0;
    tk::SetExceptionDisplay([&](const std::exception*) { ++shown; });
    {
        auto root = std::make_unique<TRecorder>(nullptr, "root", log);
        root->SetTag(42);
        EXPECT_EQ(root->Tag(), 42);
        // Owned components are created with new and freed by their owner.
        new TRecorder(root.get(), "a", log);
        auto* b = new TRecorder(root.get(), "b", log);
        new TRecorder(root.get(), "c", log);
        auto* port = new TRirComPort(root.get());
        EXPECT_EQ(port->Owner(), root.get());
        EXPECT_EQ(root->ComponentCount(), 4u);
        delete b;  // leaves its owner's list
        EXPECT_EQ(root->ComponentCount(), 3u);
        EXPECT_EQ(root->Components(1)->Name(), "c");

        // Stored values reach the whole tree; Loaded runs owners first, and
        // not for a component created meanwhile.
        tk::LoadStoredValues(*root, [&] {
            EXPECT_TRUE(root->Loading());
            EXPECT_TRUE(root->Components(0)->Loading());
            EXPECT_TRUE(port->Loading());
            port->SetOpen(true);
            EXPECT_EQ(port->OpenState(), osClosed);
            port->SetOpen(false);
            root->SetName("loaded-root");
            new TRecorder(root.get(), "late", log);
        });
        EXPECT_FALSE(root->Loading());
        root->SetDesigning(true);
        EXPECT_TRUE(root->Designing());
        EXPECT_FALSE(port->OpenAfterLoad());
        EXPECT_EQ(shown, 0);
    }
    const std::vector<std::string> expected = {
        "free b",           "loaded loaded-root", "loaded a", "loaded c",
        "free loaded-root", "free late",          "free c",   "free a"};
    EXPECT_EQ(log, expected);
}

TEST(ComPortProperties, StreamingInStoresOpenAndOpensAtLoaded) {
    std::vector<std::string> shown;
    tk::SetExceptionDisplay([&](const std::exception* e) { shown.push_back(e ? e->what() : "?"); });
    {
        // A stored Open with no port chosen: the open at Loaded fails, is
        // shown and does not propagate.
        TRirComPort p(nullptr);
        tk::LoadStoredValues(p, [&] {
            p.SetPromptForPort(false);
            p.SetOpen(true);
            EXPECT_TRUE(p.Open());
            EXPECT_TRUE(p.OpenAfterLoad());
            EXPECT_EQ(p.OpenState(), osClosed);
            // While streaming in, reads do not open the port.
            EXPECT_EQ(p.CurrentDispatcher(), nullptr);
        });
        EXPECT_FALSE(p.Open());
        EXPECT_FALSE(p.OpenAfterLoad());
        EXPECT_EQ(p.OpenState(), osClosed);
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0], "No Comport has not been set");
    }
    {
        // In design mode nothing opens.
        TRirComPort p(nullptr);
        p.SetDesigning(true);
        p.SetOpen(true);
        EXPECT_TRUE(p.Open());
        tk::LoadStoredValues(p, [] {});
        EXPECT_TRUE(p.Open());
        EXPECT_EQ(p.OpenState(), osClosed);
        EXPECT_EQ(shown.size(), 1u);
    }
    tk::SetExceptionDisplay(nullptr);
}

TEST(ComPortProperties, AssignCopiesSettingsListenersAndEvents) {
    TRirComPort src(nullptr);
    src.SetComNumber(5);
    src.SetBaud(4800);
    src.SetParity(pEven);
    src.SetDataBits(7);
    src.SetStopBits(2);
    src.SetAutoOpen(false);
    src.SetHWFlowOptions(hwfUseDTR);
    src.SetXOnChar('a');
    src.SetTracing(tlOn);
    src.SetTraceName("t.trc");
    src.SetLogName("l.log");
    src.SetUseEventWord(false);
    src.SetCommNotificationLevel(3);
    src.SetLengthTrigger(9);
    int avail = 0;
    src.SetOnTriggerAvail([&](TRirCustomComPort&, uint16_t) { ++avail; });
    src.SetOnTriggerLineError([](TRirCustomComPort&, uint16_t, bool) {});
    int opened = 0;
    TPortListener l;
    l.Plain = [&](TRirCustomComPort&, bool) { ++opened; };
    src.AddPortListener(l);

    TRirComPort dst(nullptr);
    dst.Assign(src);
    EXPECT_EQ(dst.ComNumber(), 5);
    EXPECT_EQ(dst.Baud(), 4800);
    EXPECT_EQ(dst.Parity(), pEven);
    EXPECT_EQ(dst.DataBits(), 7);
    EXPECT_EQ(dst.StopBits(), 2);
    EXPECT_FALSE(dst.AutoOpen());
    EXPECT_EQ(dst.HWFlowOptions(), hwfUseDTR);
    EXPECT_EQ(dst.BufferFull(), 3686);
    EXPECT_EQ(dst.XOnChar(), 'a');
    EXPECT_EQ(dst.Tracing(), tlOn);
    EXPECT_EQ(dst.TraceName(), "t.trc");
    EXPECT_EQ(dst.LogName(), "l.log");
    EXPECT_EQ(dst.LengthTrigger(), 9);
    EXPECT_FALSE(dst.Open());
    EXPECT_FALSE(dst.RestoreTriggersOnOpen());
    ASSERT_EQ(dst.PortListeners().size(), 1u);
    ASSERT_TRUE(dst.OnTriggerAvail());
    dst.OnTriggerAvail()(dst, 1);
    EXPECT_EQ(avail, 1);
    // Not copied: the other trigger events, the event word, the level.
    EXPECT_FALSE(dst.OnTriggerLineError());
    EXPECT_TRUE(dst.UseEventWord());
    EXPECT_EQ(dst.CommNotificationLevel(), 10);

    // Anything that is not a port component changes nothing.
    tk::TComponent other(nullptr);
    dst.Assign(other);
    EXPECT_EQ(dst.ComNumber(), 5);
    EXPECT_EQ(dst.Baud(), 4800);
}

}  // namespace
