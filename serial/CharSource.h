// What a reader of received characters needs of the port that feeds it.
#pragma once

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

  protected:
    TCharSource() = default;
    TCharSource(const TCharSource&) = default;
    TCharSource& operator=(const TCharSource&) = default;
};
