// Standard output for a window program started from a console.
#pragma once

namespace tk {

// Makes the program's standard output and error reach the console it was
// started from. A Windows window program starts with neither unless they were
// redirected; this attaches the parent's console when there is one and leaves
// redirected streams as they are. Elsewhere the streams are always there and
// this does nothing. True when standard output now leads somewhere.
bool UseParentConsole();

}  // namespace tk
