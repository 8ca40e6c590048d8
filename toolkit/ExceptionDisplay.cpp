#include "toolkit/ExceptionDisplay.h"

#include <cstdio>
#include <mutex>

namespace tk {

namespace {

std::mutex& DisplayLock() {
    static std::mutex m;
    return m;
}

TExceptionDisplay& Display() {
    static TExceptionDisplay display;
    return display;
}

void ShowOnStderr(const std::exception* e) {
    std::fprintf(stderr, "Unhandled exception: %s\n", e ? e->what() : "unknown exception");
    std::fflush(stderr);
}

}  // namespace

void ShowException(const std::exception* e) {
    TExceptionDisplay display;
    {
        std::lock_guard<std::mutex> g(DisplayLock());
        display = Display();
    }
    // Called outside the lock: a display may show a dialog and take its time.
    if (display) {
        display(e);
    } else {
        ShowOnStderr(e);
    }
}

void ShowCurrentException() {
    try {
        throw;
    } catch (const std::exception& e) {
        ShowException(&e);
    } catch (...) {
        ShowException(nullptr);
    }
}

TExceptionDisplay SetExceptionDisplay(TExceptionDisplay display) {
    std::lock_guard<std::mutex> g(DisplayLock());
    TExceptionDisplay old = std::move(Display());
    Display() = std::move(display);
    return old;
}

}  // namespace tk
