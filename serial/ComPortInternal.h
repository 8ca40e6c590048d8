// What the parts of the port component (serial/ComPort*.cpp) share among
// themselves; nothing outside the component includes it.
#pragma once

#include <utility>

#include "serial/ComPort.h"
#include "toolkit/Messages.h"

namespace comport {

// The hardware flow options a port knows.
inline constexpr THWFlowOptionSet kHWFlowMask = 0x0F;

// ---- The notification window and its deliveries (ComPortEvents.cpp) ----

// Whether this thread is inside one of port's trigger events, and port has
// not been freed by it.
bool InsideTriggerOf(const TRirCustomComPort* port);
// Whether this thread is inside a trigger event delivered for dispatcher d.
bool InsideDeliveryBy(const TRirBaseDispatcher* d);
// Marks port's deliveries on this thread as freed: the rest of each leaves
// the component alone.
void MarkFreedInEvent(const TRirCustomComPort* port);

// Unregisters window from d and destroys it, when there is one; window is 0
// afterwards.
void DropNotifyWindow(TRirBaseDispatcher* d, tk::TWindowHandle& window);

// ---- Orphans (ComPortOpen.cpp) ----

// Finishes the orphan of dispatcher d on its close message; false when d is
// no orphan. Hold RegistryLock.
bool FinishOrphan(TRirBaseDispatcher* d, tk::TLParam lParam);

// ---- Events ----

// Calls event with args when it is assigned.
template <class Event, class... Args>
void Fire(const Event& event, Args&&... args) {
    if (event) {
        event(std::forward<Args>(args)...);
    }
}

}  // namespace comport
