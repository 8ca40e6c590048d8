// Hooks of the POSIX message queues for an outside event loop (a GUI
// toolkit's): the loop watches the descriptor and, when it is readable,
// serves the toolkit's messages with TakeMessage / DispatchTaken.
#pragma once

namespace tk {

// A descriptor of the calling thread's queue that is readable while posted
// or sent messages or a quit request wait for the thread, and while one of
// its window timers is due (made on first call, closed when the thread
// ends). It is an epoll set of a wake pipe and a timerfd armed for the
// thread's earliest timer. Reading it is not needed: taking the messages
// drains it (TakeMessage hands out a due timer as kMsgTimer and arms the
// timerfd for the next one), so a loop that serves every message while it
// is readable never spins on it. -1 when no descriptor can be made.
int MessageWakeDescriptor();

}  // namespace tk
