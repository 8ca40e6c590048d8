// What a reader of received characters needs of the port that feeds it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "serial/Arrival.h"

// A source of received characters: the serial port component, or anything
// that stands in for it (a file, a test buffer). A reader is told the number
// of waiting characters and takes exactly that many with ReceiveChar.
class TCharSource {
  public:
    virtual ~TCharSource() = default;
    // Removes and returns the next waiting character.
    virtual char ReceiveChar() = 0;
    // Removes up to max waiting characters into dest, stopping after the
    // first stop character (which is taken too), and returns how many it
    // took. The default takes them one at a time with ReceiveChar; a failure
    // after some characters hands those over and recurs on the next call.
    virtual size_t ReceiveBlock(char* dest, size_t max, char stop) {
        size_t n = 0;
        try {
            while (n < max) {
                const char c = ReceiveChar();
                dest[n++] = c;
                if (c == stop) {
                    break;
                }
            }
        } catch (...) {
            if (n == 0) {
                throw;
            }
        }
        return n;
    }
    // Whether the port is open; a carriage return ends a line only then.
    virtual bool Open() const = 0;
    // When a character taken came off the device: back 0 is the last one
    // taken, 1 the one before it, within the last take. False when the
    // source does not know (a file, a test buffer).
    virtual bool CharArrival(uint32_t back, TArrivalTime& out) {
        (void)back;
        (void)out;
        return false;
    }

  protected:
    TCharSource() = default;
    TCharSource(const TCharSource&) = default;
    TCharSource& operator=(const TCharSource&) = default;
};
