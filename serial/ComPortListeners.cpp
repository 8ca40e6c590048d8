// The port component's listeners: who hears of its opening, closing and
// closed port, and how each is told.
#include <cstdint>
#include <vector>

#include "serial/ComPortInternal.h"
#include "serial/dispatch/Dispatcher.h"

namespace {

enum TListenerState { lsOpened = 0, lsClosing = 1, lsClosed = 2 };

// Tells the port's listeners, last added first, of state: a window by its
// message, an extended listener by the state number, a plain one by true
// (opened) or false (closed). Only extended listeners hear of a closing.
void TellListeners(TRirCustomComPort& port, TListenerState state) {
    static constexpr uint32_t kWindowMessages[] = {MsgPortOpened, MsgPortClose, MsgPortClosed};
    // A copy: a listener may change the list.
    const std::vector<TPortListener> listeners = port.PortListeners();
    for (size_t i = listeners.size(); i-- > 0;) {
        const TPortListener& l = listeners[i];
        if (state == lsClosing && !l.UseExtended) {
            continue;
        }
        if (l.Window != 0) {
            tk::SendToWindow(l.Window, kWindowMessages[state], 0, 0, tk::kInfinite, nullptr);
        } else if (l.UseExtended) {
            comport::Fire(l.Extended, port, static_cast<int>(state));
        } else {
            comport::Fire(l.Plain, port, state == lsOpened);
        }
    }
}

}  // namespace

void TRirCustomComPort::AddPortListener(const TPortListener& listener) {
    listeners_.push_back(listener);
}

size_t TRirCustomComPort::RemovePortListener(tk::TWindowHandle window) {
    return std::erase_if(listeners_,
                         [window](const TPortListener& l) { return l.Window == window; });
}

void TRirCustomComPort::NotifyPortOpen() {
    TellListeners(*this, lsOpened);
    comport::Fire(onPortOpen_, *this);
}

void TRirCustomComPort::NotifyPortClose() {
    TellListeners(*this, lsClosed);
    comport::Fire(onPortClose_, *this);
}

void TRirCustomComPort::NotifyPortClosing() {
    TellListeners(*this, lsClosing);
}
