// Sounds through the system: Beep plays on the speaker (or the sound card)
// and returns at its end; MessageBeep queues the default sound.
#include <windows.h>

#include "toolkit/Sound.h"

namespace tk {

void TSound::Beep(uint32_t freqHz, uint32_t durationMs) {
    const ULONGLONG start = GetTickCount64();
    ::Beep(freqHz, durationMs);
    // Without a speaker (or under an emulation) Beep may fail or return at
    // once: the caller still gets the tone's length.
    const ULONGLONG spent = GetTickCount64() - start;
    if (spent < durationMs) {
        ::Sleep(static_cast<DWORD>(durationMs - spent));
    }
}

void TSound::Pause(uint32_t durationMs) {
    ::Sleep(durationMs);
}

void TSound::SystemBeep() {
    ::MessageBeep(0);
}

}  // namespace tk
