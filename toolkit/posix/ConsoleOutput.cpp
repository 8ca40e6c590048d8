#include "toolkit/ConsoleOutput.h"

namespace tk {

// A program started from a terminal has its standard streams already.
bool UseParentConsole() {
    return true;
}

}  // namespace tk
