// The Linux tone through ALSA: the "default" device is pointed at a file (a
// configuration of the test's own), so the samples a tone produces can be
// looked at.
#include <alsa/asoundlib.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "toolkit/Clock.h"
#include "toolkit/Sound.h"

namespace {

// ALSA_CONFIG_PATH set to a configuration whose default device writes raw
// samples to a file; ALSA's cached configuration is dropped on the way in
// and out, so the process's own comes back afterwards.
class TAlsaToFile {
  public:
    TAlsaToFile() {
        dir_ = std::filesystem::temp_directory_path() /
               ("palmo-alsa-" + std::to_string(tk::MonotonicUs()));
        std::filesystem::create_directories(dir_);
        raw_ = dir_ / "tone.raw";
        const auto conf = dir_ / "asound.conf";
        std::ofstream(conf) << "pcm.!default {\n    type file\n    slave.pcm { type null }\n"
                               "    file \""
                            << raw_.string() << "\"\n    format \"raw\"\n}\n";
        if (const char* old = std::getenv("ALSA_CONFIG_PATH")) {
            old_ = old;
            hadOld_ = true;
        }
        setenv("ALSA_CONFIG_PATH", conf.c_str(), 1);
        snd_config_update_free_global();
    }
    ~TAlsaToFile() {
        if (hadOld_) {
            setenv("ALSA_CONFIG_PATH", old_.c_str(), 1);
        } else {
            unsetenv("ALSA_CONFIG_PATH");
        }
        snd_config_update_free_global();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::vector<int16_t> Samples() const {
        std::ifstream in(raw_, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), {});
        std::vector<int16_t> out(bytes.size() / 2);
        for (size_t i = 0; i < out.size(); ++i) {
            out[i] = static_cast<int16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                          (static_cast<uint8_t>(bytes[2 * i + 1]) << 8));
        }
        return out;
    }

  private:
    std::filesystem::path dir_;
    std::filesystem::path raw_;
    std::string old_;
    bool hadOld_ = false;
};

}  // namespace

TEST(SoundAlsa, ToneReachesTheDeviceWithItsFrequencyAndLength) {
    TAlsaToFile device;
    const uint32_t start = tk::MonotonicMs();
    tk::TSound platform;
    platform.Beep(750, 200);
    EXPECT_GE(tk::MonotonicMs() - start, 199u);

    const std::vector<int16_t> s = device.Samples();
    ASSERT_EQ(s.size(), 44100u * 200 / 1000);
    int crossings = 0;
    int peak = 0;
    for (size_t i = 1; i < s.size(); ++i) {
        if ((s[i - 1] < 0) != (s[i] < 0)) {
            ++crossings;
        }
        peak = std::max(peak, std::abs(static_cast<int>(s[i])));
    }
    // 750 Hz for 0.2 s: 150 periods, two sign changes each.
    EXPECT_NEAR(crossings, 300, 3);
    EXPECT_GT(peak, 8000);
    EXPECT_LT(peak, 16000);
    // Faded in and out: no click at either end.
    EXPECT_LT(std::abs(static_cast<int>(s.front())), 200);
    EXPECT_LT(std::abs(static_cast<int>(s.back())), 200);
}
