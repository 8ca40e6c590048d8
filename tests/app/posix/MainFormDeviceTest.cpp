// The main window when the receiver's device goes away and comes back: a
// pseudo-terminal whose far end closes, then a new one behind COM1 (Linux;
// the Wine port mapping cannot follow a device that goes).
#include <gtest/gtest.h>

#include <string>

#include "app/Unit1.h"
#include "gps/NmeaTestSupport.h"
#include "serial/ComPortTestSupport.h"
#include "toolkit/Sound.h"

namespace {

class TSilentSound : public tk::TSound {
  public:
    void Beep(uint32_t, uint32_t) override {}
    void Pause(uint32_t) override {}
    void SystemBeep() override {}
};

const std::string kGga =
    gpstest::Sentence("GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,100,M,46.9,M,,") + "\r\n";
const std::string kDgps =
    gpstest::Sentence("GPGGA,123520,4807.038,N,01131.000,E,2,08,0.9,100,M,46.9,M,,") + "\r\n";

}  // namespace

TEST(MainFormDevice, LostDeviceShowsInLabel3AndTheBoxOpensItAgain) {
    cptest::TPorts ports;
    TSilentSound sound;
    tk::TSoundInstall install(sound);
    TForm1 f(nullptr);
    // No loss of data while the device goes: the silence comes after.
    f.GPS1->SetComTimeOut(0);
    int losses = 0;
    gps::TNotifyEvent comLoss = f.GPS1->OnComLoss;
    f.GPS1->OnComLoss = [&](gps::TGPS& g) {
        ++losses;
        comLoss(g);
    };
    f.CheckBox1->UserClick();
    ASSERT_TRUE(f.GPS1->ComOpen());
    ASSERT_TRUE(ports.Pair(1).Write(kGga));
    ASSERT_TRUE(cptest::PumpUntil([&] {
        return f.Label3->Caption() == "Fix Quality: GPS Fix (SPS)";
    })) << f.Label3->Caption();

    // The far end goes: "Device lost", the port closed and the box unticked.
    ports.Pair(1).CloseMaster();
    ASSERT_TRUE(cptest::PumpUntil([&] { return f.Label3->Caption() == "Device lost"; }, 30000))
        << f.Label3->Caption();
    EXPECT_FALSE(f.CheckBox1->Checked());
    EXPECT_FALSE(f.GPS1->ComOpen());
    // The silence that follows blanks the labels but does not hide the cause.
    f.GPS1->SetComTimeOut(200);
    ASSERT_TRUE(cptest::PumpUntil([&] { return losses == 1; }, 30000));
    EXPECT_EQ(f.Label3->Caption(), "Device lost");
    EXPECT_EQ(f.Lat1->Caption(), "--");

    // Back at the same name: ticking the box opens it and lines come again.
    ptytest::TPtyPair back;
    ptytest::TPortsEnv env(back.Path());
    f.CheckBox1->UserClick();
    ASSERT_TRUE(f.GPS1->ComOpen());
    EXPECT_TRUE(f.CheckBox1->Checked());
    ASSERT_TRUE(back.Write(kDgps));
    EXPECT_TRUE(
        cptest::PumpUntil([&] { return f.Label3->Caption() == "Fix Quality: DGPS"; }, 30000))
        << f.Label3->Caption();
}
