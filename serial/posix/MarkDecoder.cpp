#include "serial/posix/MarkDecoder.h"

#include "serial/dispatch/LineState.h"

namespace posixdev {

uint32_t TMarkDecoder::Decode(char* buf, uint32_t count, bool parityChecked, bool classify,
                              uint32_t& errors) {
    uint32_t out = 0;
    for (uint32_t in = 0; in < count; ++in) {
        const auto c = static_cast<unsigned char>(buf[in]);
        switch (state_) {
            case 0:
                if (c == 0xFF) {
                    state_ = 1;
                } else {
                    buf[out++] = static_cast<char>(c);
                }
                break;
            case 1:
                if (c == 0xFF) {
                    buf[out++] = static_cast<char>(0xFF);
                    state_ = 0;
                } else if (c == 0) {
                    state_ = 2;
                } else {
                    // Not a mark the driver makes (marking was off): both bytes
                    // are data. When the 0xFF came with an earlier read there is
                    // no room left for it in place, and it is lost.
                    if (out < in) {
                        buf[out++] = static_cast<char>(0xFF);
                    }
                    buf[out++] = static_cast<char>(c);
                    state_ = 0;
                }
                break;
            default:
                if (c == 0) {
                    if (classify) {
                        errors |= leBreak;
                    }
                } else {
                    if (classify) {
                        errors |= parityChecked ? leParity : leFraming;
                    }
                    buf[out++] = static_cast<char>(c);
                }
                state_ = 0;
                break;
        }
    }
    return out;
}

}  // namespace posixdev
