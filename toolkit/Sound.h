// Sounds: tones on the speaker, pauses between them and the system beep,
// through a replaceable player.
//
// TSound itself is the platform's player: on Windows Beep, Sleep and
// MessageBeep(0); on Linux tones through ALSA's "default" device (the same
// duration waited out silently when no device opens), pauses as sleeps, and
// no system beep (a headless program has no bell). A program installs a
// subclass to change what it needs (a windowed program rings the desktop
// bell as the system beep); tests install one that records the calls.
#pragma once

#include <cstdint>

namespace tk {

class TSound {
  public:
    TSound() = default;
    virtual ~TSound();
    TSound(const TSound&) = delete;
    TSound& operator=(const TSound&) = delete;

    // A tone of freqHz for durationMs, played to its end before returning.
    virtual void Beep(uint32_t freqHz, uint32_t durationMs);
    // Waits durationMs without sound.
    virtual void Pause(uint32_t durationMs);
    // The system's default message sound; does not wait for it.
    virtual void SystemBeep();
};

// The player in use: the one installed last, else the platform's.
TSound& CurrentSound();
// Installs a player (nullptr: the platform's again) and returns the one it
// replaces (nullptr when that was the platform's). The caller keeps the
// player alive while it is installed.
TSound* InstallSound(TSound* sound);

// Installs a player for the life of the object, then puts back the previous one.
class TSoundInstall {
  public:
    explicit TSoundInstall(TSound& sound) : previous_(InstallSound(&sound)) {}
    ~TSoundInstall() { InstallSound(previous_); }
    TSoundInstall(const TSoundInstall&) = delete;
    TSoundInstall& operator=(const TSoundInstall&) = delete;

  private:
    TSound* previous_;
};

}  // namespace tk
