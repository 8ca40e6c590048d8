// The dispatcher's worker threads: a reader waiting for device events, a
// dispatch thread running the cycles and notices, a writer sending the output
// ring. Each is a toolkit thread whose body is a dispatcher member; the
// dispatcher owns the objects and joins them from a thread that is not one
// of its workers.
#pragma once

#include <cstdint>
#include <memory>

#include "serial/dispatch/Dispatcher.h"
#include "toolkit/Sync.h"

class TRirDispatcherThread {
  public:
    explicit TRirDispatcherThread(TRirBaseDispatcher& dispatcher) : Dispatcher(dispatcher) {}
    virtual ~TRirDispatcherThread() = default;  // joins the thread
    TRirDispatcherThread(const TRirDispatcherThread&) = delete;
    TRirDispatcherThread& operator=(const TRirDispatcherThread&) = delete;

    // Creates the toolkit thread running the body.
    void Start();
    void SetPriority(tk::TThreadPriority p);
    tk::TThreadPriority Priority() const;
    tk::ThreadId Id() const;

    // What DeliverSynchronized hands to the main thread.
    uint32_t SyncMessage = 0;
    uint32_t SyncTrigger = 0;
    int32_t SyncLParam = 0;
    TTriggerHandlerProc SyncMethod;

  protected:
    // The thread's work; exceptions are caught by the caller.
    virtual void Execute() = 0;
    TRirBaseDispatcher& Dispatcher;

  private:
    void Run();
    std::unique_ptr<tk::TThread> thread_;
};

// Reader thread.
class TComThread final : public TRirDispatcherThread {
  public:
    using TRirDispatcherThread::TRirDispatcherThread;

  protected:
    void Execute() override { Dispatcher.ReaderBody(); }
};

// Dispatch thread.
class TDispThread final : public TRirDispatcherThread {
  public:
    using TRirDispatcherThread::TRirDispatcherThread;

  protected:
    void Execute() override { Dispatcher.DispatchBody(); }
};

// Writer thread.
class TOutThread final : public TRirDispatcherThread {
  public:
    using TRirDispatcherThread::TRirDispatcherThread;

  protected:
    void Execute() override { Dispatcher.WriterBody(); }
};
