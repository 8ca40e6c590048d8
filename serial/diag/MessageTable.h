// The message table: a text for every error code and for the status and
// caption codes of the serial library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct TMessageEntry {
    int32_t code;
    const char* text;
};

// The table, sorted by ascending absolute value of the code, no two entries
// with the same absolute value. Built at compile time; read-only.
const TMessageEntry* MessageTableBegin();
std::size_t MessageTableSize();

// The table's text for the absolute value of code, or nullptr when the table
// has no entry for it or the entry's text is empty. Never asks the system.
const char* TableText(int32_t code);

// The text for a code (its sign is ignored): the table's text, else the
// system's message for that error number with control characters turned into
// spaces and runs of spaces collapsed, else empty. At most 255 characters.
std::string MessageForCode(int32_t code);

// Turns control characters into spaces and collapses runs of spaces, as
// system message texts are shown in one line.
std::string FlattenSystemText(const std::string& text);
