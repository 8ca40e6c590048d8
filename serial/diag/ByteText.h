// How the trace and log dumps show one data byte.
#pragma once

#include <cstdint>
#include <string>

// Appends the byte's text to out and returns its width (its length):
// with allHex "[XX]"; otherwise printable bytes (from 0x21 when inHex, else
// from 0x20, up to 0x7E) as themselves, the rest as "[XX]" when inHex, else
// "[decimal]". XX is two upper-case hexadecimal digits.
uint32_t AppendByteText(std::string& out, uint8_t byte, bool inHex, bool allHex);

// The line end of both dump files.
inline constexpr const char* kLineEnd = "\r\n";
