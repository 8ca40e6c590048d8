// Hooks of the POSIX message queues for an outside event loop (a GUI
// toolkit's): the loop watches the descriptor and, when it is readable,
// serves the toolkit's messages with TakeMessage / DispatchTaken.
#pragma once

namespace tk {

// A descriptor of the calling thread's queue that is readable while posted
// or sent messages wait for the thread (made on first call, closed when the
// thread ends). Reading it is not needed: taking the messages drains it.
// -1 when no descriptor can be made.
int MessageWakeDescriptor();

}  // namespace tk
