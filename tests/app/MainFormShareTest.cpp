// Sharing the window's receiver with no display: the menu item's tick, the
// status bar's client count as real clients come and go, a fix reaching a
// client, a busy port, and the --share start-up option.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/ReceiverShare.h"
#include "app/StartOptions.h"
#include "app/Unit1.h"
#include "gps/NMEA.h"
#include "share/ShareClient.h"
#include "support/Pump.h"
#include "toolkit/FormsFakeBackend.h"

namespace {

using testsupport::PumpUntil;

std::string Nmea(const std::string& payload) {
    return "$" + payload + "*" + gps::NmeaChecksum(payload) + "\r\n";
}

}  // namespace

TEST(MainFormShare, TheTickServesTheReceiverAndTheStatusBarCountsItsClients) {
    TForm1 form(nullptr);
    EXPECT_EQ(form.ShareItem->Caption(), "Share with other programs (port 2947)");
    EXPECT_FALSE(form.ShareItem->Checked());
    form.SetSharePort(0);  // a free port: tests never take gpsd's
    form.ShareItem->Click();
    ASSERT_TRUE(form.ShareItem->Checked());
    ASSERT_NE(form.Share(), nullptr);
    const uint16_t port = form.Share()->Port();
    ASSERT_NE(port, 0);
    EXPECT_EQ(form.StatusBar1->Caption(), "Shared: 0 clients");
    {
        sharetest::TClient first(port);
        ASSERT_TRUE(PumpUntil([&] { return form.StatusBar1->Caption() == "Shared: 1 client"; }));
        auto second = std::make_unique<sharetest::TClient>(port);
        ASSERT_TRUE(PumpUntil([&] { return form.StatusBar1->Caption() == "Shared: 2 clients"; }));

        // What the receiver decodes reaches a watching client.
        EXPECT_EQ(first.Object()["class"], "VERSION");
        first.Send("?WATCH={\"enable\":true,\"json\":true};");
        EXPECT_EQ(first.Object()["class"], "DEVICES");
        EXPECT_EQ(first.Object()["class"], "WATCH");
        form.GPS1->Decoder().FeedBytes(
            Nmea("GPRMC,211434.00,A,4807.038,N,01131.000,E,022.4,084.4,071226,003.1,W"));
        const nlohmann::json tpv = first.Object();
        EXPECT_EQ(tpv["class"], "TPV");
        EXPECT_NEAR(tpv["lat"].get<double>(), 48 + 7.038 / 60, 1e-9);

        second.reset();
        ASSERT_TRUE(PumpUntil([&] { return form.StatusBar1->Caption() == "Shared: 1 client"; }));
    }
    ASSERT_TRUE(PumpUntil([&] { return form.StatusBar1->Caption() == "Shared: 0 clients"; }));

    // Recording at the same time: the bar tells both, and the sharing again
    // once the recording stops.
    const std::string track = ::testing::TempDir() + "share-and-record.gpx";
    ASSERT_TRUE(form.StartRecording(track, false, true));
    EXPECT_EQ(form.StatusBar1->Caption(), "Recording: 0 points - Shared: 0 clients");
    form.StopRecording();
    EXPECT_EQ(form.StatusBar1->Caption(), "Shared: 0 clients");
    std::remove(track.c_str());

    // The popup shows the tick; clicking again stops serving.
    form.UserContextMenu(-1, -1);
    EXPECT_TRUE(form.ShareItem->Checked());
    form.ShareItem->Click();
    EXPECT_FALSE(form.Share()->Active());
    EXPECT_EQ(form.StatusBar1->Caption(), TForm1::kStatusText);
    EXPECT_THROW(sharetest::TClient refused(port), std::exception);
}

TEST(MainFormShare, ABusyPortIsToldAndTheTickStaysOff) {
    asio::io_context io;
    asio::ip::tcp::acceptor holder(io, {asio::ip::make_address("127.0.0.1"), 0});
    const uint16_t busy = holder.local_endpoint().port();
    formstest::TFakeBackend backend;
    TForm1 form(nullptr);
    form.SetSharePort(busy);
    form.ShareItem->Click();
    EXPECT_FALSE(form.ShareItem->Checked());
    EXPECT_FALSE(form.Share()->Active());
    EXPECT_EQ(form.StatusBar1->Caption(), TForm1::kStatusText);
    ASSERT_EQ(backend.boxes.size(), 1u);
    EXPECT_EQ(backend.boxes[0], "PalmoGPS|The receiver cannot be shared on 127.0.0.1:" +
                                    std::to_string(busy) + ": address in use (is gpsd running?).");
}

TEST(MainFormShare, StartOptionShare) {
    TStartOptions o = ParseStartOptions({"--share"});
    EXPECT_TRUE(o.Share);
    EXPECT_EQ(o.SharePort, 2947);
    EXPECT_TRUE(o.Problems.empty());
    o = ParseStartOptions({"--share=2950", "--gnss"});
    EXPECT_TRUE(o.Share && o.Gnss);
    EXPECT_EQ(o.SharePort, 2950);
    for (const char* bad : {"--share=0", "--share=65536", "--share=gpsd", "--share="}) {
        o = ParseStartOptions({bad});
        EXPECT_FALSE(o.Share) << bad;
        ASSERT_EQ(o.Problems.size(), 1u) << bad;
    }
    EXPECT_NE(StartOptionsUsage().find("--share[=PORT]"), std::string::npos);

    TForm1 form(nullptr);
    form.ApplyStartOptions(ParseStartOptions({"--share=2950"}));
    EXPECT_EQ(form.ShareItem->Caption(), "Share with other programs (port 2950)");
    EXPECT_EQ(form.SharePort(), 2950);
    EXPECT_FALSE(form.ShareItem->Checked());  // the caller starts it once the window shows
}
