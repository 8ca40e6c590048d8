// The POSIX layer's mark decoder on a PARMRK byte stream cut into arbitrary
// reads, against a reference that takes the whole stream apart at once: each
// read must give exactly the data bytes of the marks and plain bytes that end
// in it, in order, and report exactly their errors.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzCommon.h"
#include "serial/dispatch/LineState.h"
#include "serial/posix/MarkDecoder.h"

namespace {

using fuzz::Check;

struct TRead {
    size_t begin = 0;  // stream positions of its bytes
    size_t end = 0;
    bool resetBefore = false;  // the input side was purged before it
};

struct TExpected {
    std::string data;
    uint32_t errors = 0;
};

// The stream taken apart token by token: a plain byte, "\377\377" (0xFF),
// "\377\0\0" (a break), "\377\0" and a byte (that byte with an error), or a
// lone "\377" and a byte that is neither 0 nor 0xFF (both data, except that
// the 0xFF is lost when it ended an earlier read: the decoder works in place
// and has no room for it then). A mark a purge or the stream's end cuts short
// gives nothing. Each token's result belongs to the read of its last byte.
std::vector<TExpected> Reference(const std::string& s, const std::vector<TRead>& reads,
                                 bool parityChecked, bool classify, bool& pendingAtEnd) {
    pendingAtEnd = false;
    std::vector<TExpected> out(reads.size());
    std::vector<size_t> readOf(s.size());
    std::vector<size_t> segmentEnd(s.size());  // where the next purge or the stream's end is
    for (size_t r = 0; r < reads.size(); ++r) {
        for (size_t i = reads[r].begin; i < reads[r].end; ++i) {
            readOf[i] = r;
        }
    }
    size_t end = s.size();
    for (size_t r = reads.size(); r-- > 0;) {
        for (size_t i = reads[r].begin; i < reads[r].end; ++i) {
            segmentEnd[i] = end;
        }
        if (reads[r].resetBefore) {
            end = reads[r].begin;
        }
    }
    // A purge after the last byte cuts the final segment short too.
    const bool purgeAtEnd = std::any_of(reads.begin(), reads.end(), [&](const TRead& r) {
        return r.resetBefore && r.begin == s.size();
    });
    auto cutShort = [&](size_t limit) {
        pendingAtEnd = limit == s.size() && !purgeAtEnd;
        return limit;
    };
    const uint32_t errorBit = parityChecked ? leParity : leFraming;
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c != 0xFF) {
            out[readOf[i]].data += s[i];
            ++i;
            continue;
        }
        const size_t limit = segmentEnd[i];
        if (i + 1 >= limit) {
            i = cutShort(limit);
            continue;
        }
        const auto d = static_cast<unsigned char>(s[i + 1]);
        if (d == 0xFF) {
            out[readOf[i + 1]].data += '\xff';
            i += 2;
        } else if (d != 0) {
            TExpected& e = out[readOf[i + 1]];
            if (readOf[i] == readOf[i + 1]) {
                e.data += '\xff';
            }
            e.data += s[i + 1];
            i += 2;
        } else if (i + 2 >= limit) {
            i = cutShort(limit);
        } else {
            TExpected& e = out[readOf[i + 2]];
            if (s[i + 2] == 0) {
                e.errors |= classify ? leBreak : 0;
            } else {
                e.errors |= classify ? errorBit : 0;
                e.data += s[i + 2];
            }
            i += 3;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first byte picks the settings; then each read is a length byte
    // (low 6 bits the count, bit 6 a purge before it) and its bytes.
    if (size == 0) {
        return 0;
    }
    const bool parityChecked = (data[0] & 1) != 0;
    const bool classify = (data[0] & 2) != 0;
    std::string stream;
    std::vector<TRead> reads;
    for (size_t at = 1; at < size;) {
        const uint8_t head = data[at++];
        const size_t n = std::min<size_t>(head & 0x3F, size - at);
        TRead r;
        r.begin = stream.size();
        r.resetBefore = (head & 0x40) != 0;
        stream.append(reinterpret_cast<const char*>(data + at), n);
        r.end = stream.size();
        reads.push_back(r);
        at += n;
    }

    bool pendingAtEnd = false;
    const std::vector<TExpected> expected =
        Reference(stream, reads, parityChecked, classify, pendingAtEnd);
    posixdev::TMarkDecoder decoder;
    for (size_t r = 0; r < reads.size(); ++r) {
        if (reads[r].resetBefore) {
            decoder.Reset();
        }
        std::string buf = stream.substr(reads[r].begin, reads[r].end - reads[r].begin);
        uint32_t errors = 0;
        const uint32_t n = decoder.Decode(buf.data(), static_cast<uint32_t>(buf.size()),
                                          parityChecked, classify, errors);
        Check(n <= buf.size());
        Check(buf.compare(0, n, expected[r].data) == 0 && n == expected[r].data.size());
        Check(errors == expected[r].errors);
    }
    // A partial mark waits exactly when the stream ends inside one.
    Check(decoder.InMark() == pendingAtEnd);
    return 0;
}
