// Takes apart the error marks that the terminal driver puts into the input
// stream when it marks bad bytes (PARMRK): "\377\377" is a data byte 0xFF,
// "\377\0" followed by a byte is that byte received with a parity or
// framing error, and "\377\0\0" is a break. A mark may be split across reads;
// the decoder carries the partial mark to the next one.
#pragma once

#include <cstdint>

namespace posixdev {

class TMarkDecoder {
  public:
    // Decodes count raw bytes at buf in place and returns how many data bytes
    // now start at buf (never more than count). Errors found are ORed into
    // errors as line-error bits when classify is set: a break as leBreak, a bad
    // byte as leParity when parity is checked, else leFraming.
    uint32_t Decode(char* buf, uint32_t count, bool parityChecked, bool classify, uint32_t& errors);
    // Forgets a partial mark (after the input side was purged).
    void Reset() { state_ = 0; }
    // Whether a partial mark waits for its remaining bytes.
    bool InMark() const { return state_ != 0; }

  private:
    int state_ = 0;  // 0 data, 1 after \377, 2 after \377\0
};

}  // namespace posixdev
