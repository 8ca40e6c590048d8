// The exceptions of the serial library and the check that turns a negative
// result code into one of them.
#pragma once

#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>

#include "serial/diag/ExceptionTable.h"

// The root of the library's exceptions: a message and the error code.
class ERirException : public std::runtime_error {
  public:
    // Stores the code unchanged and takes the table's text for it as message.
    explicit ERirException(int32_t code);
    // Stores the message with error code 0.
    explicit ERirException(const std::string& message);
    explicit ERirException(const char* message) : ERirException(std::string(message)) {}
    // Stores both: a code whose table text would say less than the message.
    ERirException(int32_t code, const std::string& message)
        : std::runtime_error(message), errorCode_(code) {}

    int32_t ErrorCode() const noexcept { return errorCode_; }
    std::string Message() const { return what(); }

  private:
    int32_t errorCode_;
};

// The branches and leaves add nothing but their type.
#define PALMO_RIR_DECLARE_BRANCH(name)      \
    class name : public ERirException {     \
      public:                               \
        using ERirException::ERirException; \
    };
#define PALMO_RIR_DECLARE_LEAF(name, base, code) \
    class name : public base {                   \
      public:                                    \
        using base::base;                        \
    };
PALMO_RIR_BRANCHES(PALMO_RIR_DECLARE_BRANCH)
PALMO_RIR_LEAVES(PALMO_RIR_DECLARE_LEAF)
#undef PALMO_RIR_DECLARE_BRANCH
#undef PALMO_RIR_DECLARE_LEAF

// The runtime's I/O error: a system or file error with its positive code and
// the table's or the system's text.
class EInOutError : public std::runtime_error {
  public:
    EInOutError(int32_t errorCode, const std::string& message)
        : std::runtime_error(message), errorCode_(errorCode) {}
    int32_t ErrorCode() const noexcept { return errorCode_; }
    std::string Message() const { return what(); }

  private:
    int32_t errorCode_;
};

// The runtime's out-of-memory exception; a std::bad_alloc, so handlers of
// allocation failures catch it too.
class EOutOfMemory : public std::bad_alloc {
  public:
    const char* what() const noexcept override { return "Out of memory"; }
};

// The message of exceptions raised for codes that have no class of their own.
inline constexpr const char* kGenericRirMessage = "Vira exception";

// Returns code when it is 0 or more, or while the component that checks it is
// being streamed in from stored settings. Otherwise raises: the class mapped
// to the code; for -8 EOutOfMemory; for other codes from -2 to -162
// EInOutError with the code's text and the positive code; for every other
// code ERirException "Vira exception" with code 0.
int32_t CheckResult(int32_t code, bool streamingIn = false);

// Raises what CheckResult raises for a negative code.
[[noreturn]] void RaiseForCode(int32_t code);

// Whether a negative code has an exception class of its own (a leaf, or one
// of the codes that raise EProtocol or EInternal).
bool HasExceptionClass(int32_t code);
