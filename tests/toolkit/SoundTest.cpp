// The sound player: the installed player gets every call, and the
// platform's own plays (or waits out) a tone to its end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "toolkit/Clock.h"
#include "toolkit/Sound.h"

namespace {

struct TRecordingSound : tk::TSound {
    std::vector<std::string> calls;
    void Beep(uint32_t hz, uint32_t ms) override {
        calls.push_back("Beep " + std::to_string(hz) + " " + std::to_string(ms));
    }
    void Pause(uint32_t ms) override { calls.push_back("Pause " + std::to_string(ms)); }
    void SystemBeep() override { calls.emplace_back("SystemBeep"); }
};

// Keeps the platform's tones and rings something else as the system beep,
// as a windowed program does.
struct TBellSound : tk::TSound {
    int bells = 0;
    void SystemBeep() override { ++bells; }
};

}  // namespace

TEST(Sound, InstalledPlayersTakeTheCallsInTurn) {
    tk::TSound& platform = tk::CurrentSound();
    TRecordingSound outer;
    {
        tk::TSoundInstall a(outer);
        EXPECT_EQ(&tk::CurrentSound(), &outer);
        TBellSound bell;
        {
            tk::TSoundInstall b(bell);
            tk::CurrentSound().SystemBeep();
            const uint32_t start = tk::MonotonicMs();
            tk::CurrentSound().Beep(880, 60);  // the platform's tone, still played to its end
            EXPECT_GE(tk::MonotonicMs() - start, 59u);
            EXPECT_EQ(bell.bells, 1);
        }
        EXPECT_EQ(&tk::CurrentSound(), &outer);
        tk::CurrentSound().Beep(440, 10);
        tk::CurrentSound().Pause(5);
        tk::CurrentSound().SystemBeep();
    }
    EXPECT_EQ(outer.calls, (std::vector<std::string>{"Beep 440 10", "Pause 5", "SystemBeep"}));
    EXPECT_EQ(&tk::CurrentSound(), &platform);
    EXPECT_EQ(tk::InstallSound(nullptr), nullptr) << "the platform's was in use";
}

TEST(Sound, PlatformTonesAndPausesTakeTheirLength) {
    tk::TSound& sound = tk::CurrentSound();
    // A tone is played (or, without a sound device, waited out) to its end;
    // so is one the speaker cannot play.
    for (const uint32_t hz : {750u, 20u}) {
        const uint32_t start = tk::MonotonicMs();
        sound.Beep(hz, 120);
        EXPECT_GE(tk::MonotonicMs() - start, 119u) << hz;
    }
    uint32_t start = tk::MonotonicMs();
    sound.Pause(50);
    EXPECT_GE(tk::MonotonicMs() - start, 49u);
    start = tk::MonotonicMs();
    sound.Beep(1000, 0);
    sound.SystemBeep();
    EXPECT_LT(tk::MonotonicMs() - start, 1000u) << "neither waits";
}
