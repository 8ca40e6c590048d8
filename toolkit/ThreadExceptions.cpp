#include "toolkit/ThreadExceptions.h"

#include <cstdio>
#include <exception>
#include <mutex>

#include "toolkit/Sync.h"

namespace tk {

namespace {

std::mutex gHandlerMutex;
TThreadExceptionHandler gExceptionHandler;

}  // namespace

void SetThreadExceptionHandler(TThreadExceptionHandler handler) {
    std::lock_guard lk(gHandlerMutex);
    gExceptionHandler = std::move(handler);
}

void detail::ReportEscapedException() {
    TThreadExceptionHandler handler;
    {
        std::lock_guard lk(gHandlerMutex);
        handler = gExceptionHandler;
    }
    if (handler) {
        handler(std::current_exception());
        return;
    }
    try {
        throw;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Thread ended by exception: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "Thread ended by an unknown exception\n");
    }
}

}  // namespace tk
