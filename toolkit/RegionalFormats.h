// The user's regional number formats, read once from the platform's locale
// data without touching the process-wide C locale.
#pragma once

namespace tk {

// The decimal separator of the user's regional settings (one byte in the
// ANSI code page; '.' when the platform names none or a multi-byte one).
// Thread-safe; the platform is asked on the first call only.
char DecimalSeparator();

// Overrides the separator that DecimalSeparator reports (for tests and for
// programs that want fixed output); ClearDecimalSeparatorOverride returns to
// the user's setting.
void SetDecimalSeparatorOverride(char separator);
void ClearDecimalSeparatorOverride();

// The platform's own answer, without any override (asked afresh each call).
char SystemDecimalSeparator();

}  // namespace tk
