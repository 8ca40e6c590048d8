// What a reader of received characters needs of the port that feeds it.
#pragma once

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
