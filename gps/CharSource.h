// What the receiver needs of the port that feeds it.
#pragma once

namespace gps {

// A source of received characters: the serial port component, or anything
// that stands in for it (a file, a test buffer). The receiver's
// PortTriggerAvail is called with the number of waiting characters and takes
// exactly that many with ReceiveChar.
class TNmeaCharSource {
  public:
    virtual ~TNmeaCharSource() = default;
    // Removes and returns the next waiting character.
    virtual char ReceiveChar() = 0;
    // Whether the port is open; a carriage return ends a line only then.
    virtual bool Open() const = 0;

  protected:
    TNmeaCharSource() = default;
    TNmeaCharSource(const TNmeaCharSource&) = default;
    TNmeaCharSource& operator=(const TNmeaCharSource&) = default;
};

}  // namespace gps
