// The serial port component: one serial port's settings as properties, the
// dispatcher it makes when the port opens, the hidden notification window
// that turns the dispatcher's notices into trigger events on the thread that
// opened the port, and the reading and writing operations.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "serial/CharSource.h"
#include "serial/dispatch/SavedTriggers.h"
#include "toolkit/Component.h"
#include "toolkit/Messages.h"

enum TDeviceLayer : uint8_t { dlWin32, dlWinsock };
enum TParity : uint8_t { pNone, pOdd, pEven, pMark, pSpace };
enum TTapiMode : uint8_t { tmNone, tmAuto, tmOn, tmOff };
// A set of hardware flow options, one bit each: the option constants
// hwfUseDTR (1), hwfUseRTS (2), hwfRequireDSR (4) and hwfRequireCTS (8) of
// serial/dispatch/LineState.h are the set's members.
using THWFlowOptionSet = uint8_t;
enum TSWFlowOptions : uint8_t { swfNone, swfReceive, swfTransmit, swfBoth };
enum TTraceLogState : uint8_t { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause };
enum TOpenState : uint8_t { osClosed, osClosing, osOpen };

class TRirCustomComPort;
class TRirBaseDispatcher;

using TTriggerEvent =
    std::function<void(TRirCustomComPort& CP, uint16_t Msg, uint16_t TriggerHandle, uint16_t Data)>;
using TTriggerAvailEvent = std::function<void(TRirCustomComPort& CP, uint16_t Count)>;
using TTriggerDataEvent = std::function<void(TRirCustomComPort& CP, uint16_t TriggerHandle)>;
using TTriggerStatusEvent = TTriggerDataEvent;
using TTriggerTimerEvent = TTriggerDataEvent;
using TTriggerLineErrorEvent =
    std::function<void(TRirCustomComPort& CP, uint16_t Error, bool LineBreak)>;
using TWaitCharEvent = std::function<void(TRirCustomComPort& CP, char C)>;
using TDispatcherFactory = std::function<std::unique_ptr<TRirBaseDispatcher>()>;

// Who hears of a port's opening and closing: a window (sent MsgPortOpened,
// MsgPortClosed and, when Extended, MsgPortClose as the closing notice) or
// one of two callbacks.
struct TPortListener {
    tk::TWindowHandle Window = 0;
    std::function<void(TRirCustomComPort&, bool opened)> Plain;
    // State: 0 opened, 1 closing, 2 closed.
    std::function<void(TRirCustomComPort&, int state)> Extended;
    bool UseExtended = false;
};

class TRirBaseComponent : public tk::TComponent {
  public:
    using tk::TComponent::TComponent;
    std::string Version() const { return "v4.06"; }
    void SetVersion(const std::string&) {}
};

class TRirCustomComPort : public TRirBaseComponent, public TCharSource {
  public:
    explicit TRirCustomComPort(tk::TComponent* owner);
    ~TRirCustomComPort() override;

    void Assign(const tk::TComponent& source) override;

    // ---- Published properties ----
    TDeviceLayer DeviceLayer() const { return deviceLayer_; }
    void SetDeviceLayer(TDeviceLayer v);
    uint16_t ComNumber() const { return comNumber_; }
    void SetComNumber(uint16_t v);
    int32_t Baud() const { return baud_; }
    void SetBaud(int32_t v);
    bool PromptForPort() const { return promptForPort_; }
    void SetPromptForPort(bool v) { promptForPort_ = v; }
    TParity Parity() const { return parity_; }
    void SetParity(TParity v);
    uint16_t DataBits() const { return dataBits_; }
    void SetDataBits(uint16_t v);
    uint16_t StopBits() const { return stopBits_; }
    void SetStopBits(uint16_t v);
    uint16_t InSize() const { return inSize_; }
    void SetInSize(uint16_t v);
    uint16_t OutSize() const { return outSize_; }
    void SetOutSize(uint16_t v);
    bool AutoOpen() const { return autoOpen_; }
    void SetAutoOpen(bool v) { autoOpen_ = v; }
    bool Open() const override { return open_; }
    void SetOpen(bool v);
    bool DTR() const { return dtr_; }
    void SetDTR(bool v);
    bool RTS() const { return rts_; }
    void SetRTS(bool v);
    THWFlowOptionSet HWFlowOptions() const { return hwFlow_; }
    void SetHWFlowOptions(THWFlowOptionSet v);
    TSWFlowOptions SWFlowOptions() const { return swFlow_; }
    void SetSWFlowOptions(TSWFlowOptions v);
    char XOnChar() const { return xonChar_; }
    void SetXOnChar(char v);
    char XOffChar() const { return xoffChar_; }
    void SetXOffChar(char v);
    uint16_t BufferFull() const { return bufferFull_; }
    void SetBufferFull(uint16_t v);
    uint16_t BufferResume() const { return bufferResume_; }
    void SetBufferResume(uint16_t v);
    TTraceLogState Tracing() const { return tracing_; }
    void SetTracing(TTraceLogState v);
    uint32_t TraceSize() const { return traceSize_; }
    void SetTraceSize(uint32_t v);
    const std::string& TraceName() const { return traceName_; }
    void SetTraceName(const std::string& v) { traceName_ = v.substr(0, 255); }
    bool TraceHex() const { return traceHex_; }
    void SetTraceHex(bool v) { traceHex_ = v; }
    bool TraceAllHex() const { return traceAllHex_; }
    void SetTraceAllHex(bool v) { traceAllHex_ = v; }
    TTraceLogState Logging() const { return logging_; }
    void SetLogging(TTraceLogState v);
    uint32_t LogSize() const { return logSize_; }
    void SetLogSize(uint32_t v);
    const std::string& LogName() const { return logName_; }
    void SetLogName(const std::string& v) { logName_ = v.substr(0, 255); }
    bool LogHex() const { return logHex_; }
    void SetLogHex(bool v) { logHex_ = v; }
    bool LogAllHex() const { return logAllHex_; }
    void SetLogAllHex(bool v) { logAllHex_ = v; }
    bool UseMSRShadow() const { return useMSRShadow_; }
    void SetUseMSRShadow(bool v) { ApplyUseMSRShadow(v); }
    bool UseEventWord() const { return useEventWord_; }
    void SetUseEventWord(bool v);
    uint16_t CommNotificationLevel() const { return commNotificationLevel_; }
    void SetCommNotificationLevel(uint16_t v);
    TTapiMode TapiMode() const { return tapiMode_; }
    void SetTapiMode(TTapiMode v) { tapiMode_ = v; }
    bool RS485Mode() const { return rs485_; }
    void SetRS485Mode(bool v);

    // ---- Events ----
    const tk::TNotifyEvent& OnPortClose() const { return onPortClose_; }
    void SetOnPortClose(tk::TNotifyEvent e) { onPortClose_ = std::move(e); }
    const tk::TNotifyEvent& OnPortOpen() const { return onPortOpen_; }
    void SetOnPortOpen(tk::TNotifyEvent e) { onPortOpen_ = std::move(e); }
    const TTriggerEvent& OnTrigger() const { return onTrigger_; }
    void SetOnTrigger(TTriggerEvent e);
    const TTriggerAvailEvent& OnTriggerAvail() const { return onTriggerAvail_; }
    void SetOnTriggerAvail(TTriggerAvailEvent e);
    const TTriggerDataEvent& OnTriggerData() const { return onTriggerData_; }
    void SetOnTriggerData(TTriggerDataEvent e);
    const TTriggerStatusEvent& OnTriggerStatus() const { return onTriggerStatus_; }
    void SetOnTriggerStatus(TTriggerStatusEvent e);
    const TTriggerTimerEvent& OnTriggerTimer() const { return onTriggerTimer_; }
    void SetOnTriggerTimer(TTriggerTimerEvent e);
    const TTriggerLineErrorEvent& OnTriggerLineError() const { return onTriggerLineError_; }
    void SetOnTriggerLineError(TTriggerLineErrorEvent e);
    const tk::TNotifyEvent& OnTriggerModemStatus() const { return onTriggerModemStatus_; }
    void SetOnTriggerModemStatus(tk::TNotifyEvent e);
    const tk::TNotifyEvent& OnTriggerOutbuffFree() const { return onTriggerOutbuffFree_; }
    void SetOnTriggerOutbuffFree(tk::TNotifyEvent e);
    const tk::TNotifyEvent& OnTriggerOutbuffUsed() const { return onTriggerOutbuffUsed_; }
    void SetOnTriggerOutbuffUsed(tk::TNotifyEvent e);
    const tk::TNotifyEvent& OnTriggerOutSent() const { return onTriggerOutSent_; }
    void SetOnTriggerOutSent(tk::TNotifyEvent e);
    // The device has gone away while the port is open (a USB receiver
    // unplugged, a pseudo-terminal's far end closed): raised once, on the
    // thread that opened the port. The port stays open and quiet; closing it
    // and opening it again reaches a device that has come back.
    const tk::TNotifyEvent& OnDeviceLost() const { return onDeviceLost_; }
    void SetOnDeviceLost(tk::TNotifyEvent e) { onDeviceLost_ = std::move(e); }
    // Whether the open port's device has gone away.
    bool DeviceLost() const;

    // ---- Unpublished state ----
    TOpenState OpenState() const { return openState_; }
    bool ReapplyFlag() const { return reapplyFlag_; }
    bool OpenAfterLoad() const { return openAfterLoad_; }
    bool ReopenRequested() const { return reopenRequested_; }
    bool RestoreTriggersOnOpen() const { return restoreTriggersOnOpen_; }
    const TSavedTriggers& SavedTriggers() const { return savedTriggers_; }
    tk::TWindowHandle NotifyWindow() const { return notifyWindow_; }
    uint16_t LengthTrigger() const { return lengthTrigger_; }
    void SetLengthTrigger(uint16_t v);
    uint8_t PriorityBoost() const { return priorityBoost_; }
    void SetPriorityBoost(uint8_t v);
    void SetCustomDispatcherFactory(TDispatcherFactory f) { factory_ = std::move(f); }
    uint16_t TapiDeviceId() const { return tapiDeviceId_; }
    void SetTapiDeviceId(uint16_t v) { tapiDeviceId_ = v; }
    void SetWaitCharHandler(TWaitCharEvent e) { waitCharHandler_ = std::move(e); }

    // Port listeners, told of every open and close (last added first).
    void AddPortListener(const TPortListener& listener);
    // Removes the listeners of that window; how many went.
    size_t RemovePortListener(tk::TWindowHandle window);
    const std::vector<TPortListener>& PortListeners() const { return listeners_; }

    // ---- Dispatcher ----
    // The dispatcher, opening the port first when it is closed and AutoOpen
    // allows; may be nullptr.
    TRirBaseDispatcher* CurrentDispatcher();
    // The dispatcher, or ECommNotOpen (-2007).
    TRirBaseDispatcher& RequireDispatcher();

    // Whether the component whose trigger event this thread is delivering
    // was freed by it (its handler or one it called): code that raised the
    // event and runs on after it must then leave the component alone.
    static bool FreedInEvent();

    // ---- Reading and writing ----
    char ReceiveChar() override;
    // With one copy out of the input ring: up to max characters, up to and
    // including the first stop character. Fails as ReceiveChar does when
    // nothing waits; while the port closes, hands out one character 0.
    size_t ReceiveBlock(char* dest, size_t max, char stop) override;
    // When a character of the last take came off the device (the
    // dispatcher's arrival marks); false while closed.
    bool CharArrival(uint32_t back, TArrivalTime& out) override;
    void SendString(const std::string& s);
    uint16_t ReadLineError();
    bool ReadLineBreak();

    // ---- Overridable operations ----
    virtual std::unique_ptr<TRirBaseDispatcher> MakeDispatcher();
    virtual void AfterDeviceLayerChange() {}
    virtual int32_t OpenDevice();
    virtual void SetupNotifyWindow(bool create);
    virtual void EnsurePortNumber();
    virtual void ApplyUseMSRShadow(bool) {}
    virtual void DoTrigger(uint16_t msg, uint16_t triggerHandle, uint16_t data);
    virtual void DoTriggerAvail(uint16_t count);
    virtual void DoTriggerData(uint16_t triggerHandle);
    virtual void DoTriggerStatus(uint16_t triggerHandle);
    virtual void DoTriggerTimer(uint16_t triggerHandle);
    virtual void UpdateHandlerNeed();
    virtual void DoTriggerLineError(uint16_t error, bool lineBreak);
    virtual void DoTriggerModemStatus();
    virtual void DoTriggerOutbuffFree();
    virtual void DoTriggerOutbuffUsed();
    virtual void DoTriggerOutSent();
    virtual void DoDeviceLost();
    virtual void DoWaitChar(char c);
    virtual void DoClose();
    virtual void ServicePort();
    virtual void DoOpen();
    virtual void NotifyPortOpen();
    virtual void NotifyPortClose();
    virtual void NotifyPortClosing();

  protected:
    void Loaded() override;
    // The result unchanged when it is not negative or while streaming in;
    // otherwise the exception mapped to it.
    int32_t Check(int32_t code) const;

  private:
    friend struct TComPortWindow;
    // The notification window's handling of one message for this component.
    void HandleMessage(uint32_t msg, uint16_t wLow, uint16_t data);
    void PostDeferredClose();
    void FinishDeferredClose(int32_t lParam);
    void FinishClose();
    void SetTraceLog(bool log, TTraceLogState v);
    void SetTraceLogSize(bool log, uint32_t v);
    void ReapplyFlow();

    TDeviceLayer deviceLayer_ = dlWin32;
    uint16_t comNumber_ = 0;
    int32_t baud_ = 19200;
    bool promptForPort_ = true;
    TParity parity_ = pNone;
    uint16_t dataBits_ = 8;
    uint16_t stopBits_ = 1;
    uint16_t inSize_ = 4096;
    uint16_t outSize_ = 4096;
    bool autoOpen_ = true;
    bool open_ = false;
    bool dtr_ = true;
    bool rts_ = true;
    THWFlowOptionSet hwFlow_ = 0;
    TSWFlowOptions swFlow_ = swfNone;
    char xonChar_ = 17;
    char xoffChar_ = 19;
    uint16_t bufferFull_ = 0;
    uint16_t bufferResume_ = 0;
    TTraceLogState tracing_ = tlOff;
    uint32_t traceSize_ = 10000;
    std::string traceName_ = "VIRA.TRC";
    bool traceHex_ = true;
    bool traceAllHex_ = false;
    TTraceLogState logging_ = tlOff;
    uint32_t logSize_ = 10000;
    std::string logName_ = "VIRA.LOG";
    bool logHex_ = true;
    bool logAllHex_ = false;
    bool useMSRShadow_ = true;
    bool useEventWord_ = true;
    uint16_t commNotificationLevel_ = 10;
    TTapiMode tapiMode_ = tmAuto;
    bool rs485_ = false;

    tk::TNotifyEvent onPortClose_, onPortOpen_;
    TTriggerEvent onTrigger_;
    TTriggerAvailEvent onTriggerAvail_;
    TTriggerDataEvent onTriggerData_;
    TTriggerStatusEvent onTriggerStatus_;
    TTriggerTimerEvent onTriggerTimer_;
    TTriggerLineErrorEvent onTriggerLineError_;
    tk::TNotifyEvent onTriggerModemStatus_, onTriggerOutbuffFree_, onTriggerOutbuffUsed_,
        onTriggerOutSent_;
    tk::TNotifyEvent onDeviceLost_;
    TWaitCharEvent waitCharHandler_;

    TOpenState openState_ = osClosed;
    std::unique_ptr<TRirBaseDispatcher> dispatcher_;
    bool reapplyFlag_ = false;
    bool openAfterLoad_ = false;
    bool reopenRequested_ = false;
    TSavedTriggers savedTriggers_;
    bool restoreTriggersOnOpen_ = false;
    std::vector<TPortListener> listeners_;
    tk::TWindowHandle notifyWindow_ = 0;
    uint16_t lengthTrigger_ = 1;
    uint8_t priorityBoost_ = 0;
    TDispatcherFactory factory_;
    uint16_t tapiDeviceId_ = 0;
};

// The port component as programs use it.
class TRirComPort : public TRirCustomComPort {
  public:
    using TRirCustomComPort::TRirCustomComPort;
};

// The device layer of this build for a new dispatcher: the Win32 layer on
// Windows, the POSIX layer elsewhere. owner may be nullptr (a probe); tapi
// asks for the telephony variant over tapiHandle where the build has one.
std::unique_ptr<TRirBaseDispatcher> MakePlatformDispatcher(TRirComPort* owner, bool tapi = false,
                                                           int32_t tapiHandle = 0);
// Opens and closes the device directly with the system's file-open call, as
// a port probe without a dispatcher does: true when it opened; otherwise
// the system's last error says why.
bool OpenDeviceDirectly(const std::string& deviceName);
