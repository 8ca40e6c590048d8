// Sounds through the system: Beep plays on the speaker (or the sound card)
// and returns at its end; MessageBeep queues the default sound.
#include <windows.h>

#include "toolkit/Sound.h"

namespace tk {

void TSound::Beep(uint32_t freqHz, uint32_t durationMs) {
    if (!::Beep(freqHz, durationMs)) {
        // No speaker to play on: the caller still gets the tone's length.
        ::Sleep(durationMs);
    }
}

void TSound::Pause(uint32_t durationMs) {
    ::Sleep(durationMs);
}

void TSound::SystemBeep() {
    ::MessageBeep(0);
}

}  // namespace tk
