#include "serial/diag/ByteText.h"

namespace {

uint32_t AppendHex(std::string& out, uint8_t byte) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out += '[';
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0x0F];
    out += ']';
    return 4;
}

}  // namespace

uint32_t AppendByteText(std::string& out, uint8_t byte, bool inHex, bool allHex) {
    if (allHex) {
        return AppendHex(out, byte);
    }
    const uint8_t firstPlain = inHex ? 0x21 : 0x20;
    if (byte >= firstPlain && byte <= 0x7E) {
        out += static_cast<char>(byte);
        return 1;
    }
    if (inHex) {
        return AppendHex(out, byte);
    }
    std::string text = "[" + std::to_string(byte) + "]";
    out += text;
    return static_cast<uint32_t>(text.size());
}
