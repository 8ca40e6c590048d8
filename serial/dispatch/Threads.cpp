// Thread priorities of the dispatcher. Starting and stopping the worker
// threads belongs to each device layer (StartThreads, StopThreads).
#include <algorithm>

#include "serial/dispatch/Dispatcher.h"

namespace {

tk::TThreadPriority Priority(int level) {
    return static_cast<tk::TThreadPriority>(std::clamp(level, 0, 6));
}

}  // namespace

void TRirBaseDispatcher::WriterPriority(int base) {
    tk::TLockGuard g(GeneralLock);
    if (WriterThread) {
        WriterThread->SetPriority(Priority(base + PriorityBoost));
    }
}

void TRirBaseDispatcher::SetPriorityBoost(uint8_t boost) {
    tk::TLockGuard g(GeneralLock);
    if (boost == PriorityBoost) {
        return;
    }
    PriorityBoost = boost;
    if (ReaderThread) {
        ReaderThread->SetPriority(Priority(3 + boost));
    }
    if (DispatchThread) {
        DispatchThread->SetPriority(Priority(3 + boost));
        WriterPriority(Rs485Mode.load() ? 4 : 3);
    }
}
