// The application's display of exceptions that nobody else could handle,
// such as one that ends a worker thread. A program with a user interface
// replaces the display; the default writes one line on stderr.
#pragma once

#include <exception>
#include <functional>

namespace tk {

// Receives the exception (nullptr when it is not a std::exception).
using TExceptionDisplay = std::function<void(const std::exception*)>;

// Shows the exception through the current display. Safe from any thread.
void ShowException(const std::exception* e);
// Shows the exception being handled (call it inside a catch block).
void ShowCurrentException();
// Replaces the display and returns the previous one; an empty function
// restores the default.
TExceptionDisplay SetExceptionDisplay(TExceptionDisplay display);

}  // namespace tk
