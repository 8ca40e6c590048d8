// Tones through ALSA: a sine of the asked frequency, 16-bit mono, written to
// the "default" playback device and drained, so the call returns when the
// tone has been played. When no device opens (a server without sound) the
// same duration passes in silence. Pauses sleep; there is no system beep.
#include <alsa/asoundlib.h>

#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>
#include <vector>

#include "toolkit/Sound.h"

namespace tk {

namespace {

constexpr unsigned kRate = 44100;
constexpr unsigned kLatencyUs = 100000;
constexpr double kAmplitude = 0.3 * 32767;
// Frequencies the speaker call accepts; others are waited out in silence.
constexpr uint32_t kLowestHz = 37;
constexpr uint32_t kHighestHz = 32767;
// Length of the fade at either end of a tone, against clicks.
constexpr unsigned kFadeFrames = kRate / 200;

// ALSA reports every failed open on standard error; a machine without sound
// is normal here, so its reports are dropped.
void QuietAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

std::vector<int16_t> SineTone(uint32_t freqHz, uint32_t durationMs) {
    const auto frames = static_cast<size_t>(uint64_t{kRate} * durationMs / 1000);
    std::vector<int16_t> samples(frames);
    const double step = 2.0 * M_PI * freqHz / kRate;
    for (size_t i = 0; i < frames; ++i) {
        double gain = 1.0;
        const size_t fromEnd = frames - 1 - i;
        if (i < kFadeFrames) {
            gain = static_cast<double>(i) / kFadeFrames;
        } else if (fromEnd < kFadeFrames) {
            gain = static_cast<double>(fromEnd) / kFadeFrames;
        }
        samples[i] = static_cast<int16_t>(std::lround(kAmplitude * gain * std::sin(step * i)));
    }
    return samples;
}

// Plays the samples to their end; false when no device could take them.
bool Play(const std::vector<int16_t>& samples) {
    static std::once_flag quiet;
    std::call_once(quiet, [] { snd_lib_error_set_handler(QuietAlsaErrors); });
    snd_pcm_t* pcm = nullptr;
    // Non-blocking open: a device that another program holds is no sound, not a hang.
    if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) {
        return false;
    }
    bool ok = snd_pcm_nonblock(pcm, 0) == 0 &&
              snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, 1, kRate,
                                 1, kLatencyUs) == 0;
    size_t done = 0;
    while (ok && done < samples.size()) {
        snd_pcm_sframes_t n = snd_pcm_writei(pcm, samples.data() + done, samples.size() - done);
        if (n < 0) {
            n = snd_pcm_recover(pcm, static_cast<int>(n), 1);
            ok = n >= 0;
            continue;
        }
        done += static_cast<size_t>(n);
    }
    if (ok) {
        snd_pcm_drain(pcm);
    }
    snd_pcm_close(pcm);
    return ok;
}

}  // namespace

void TSound::Beep(uint32_t freqHz, uint32_t durationMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(durationMs);
    if (freqHz >= kLowestHz && freqHz <= kHighestHz && durationMs > 0) {
        Play(SineTone(freqHz, durationMs));
    }
    // Played or not, the tone takes its length.
    std::this_thread::sleep_until(end);
}

void TSound::Pause(uint32_t durationMs) {
    std::this_thread::sleep_for(std::chrono::milliseconds(durationMs));
}

void TSound::SystemBeep() {}

}  // namespace tk
