// gpscat's sharing options: addresses with and without a host, the
// optional value, and the combinations that make no sense.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/gpscat/GpsCat.h"

namespace {

bool Parse(const std::vector<std::string>& args, gpscat::TOptions& o, std::string& error) {
    o = gpscat::TOptions{};
    error.clear();
    return gpscat::ParseOptions(args, o, error);
}

}  // namespace

TEST(GpsCatShareOptions, AddressesAndDefaults) {
    gpscat::TOptions o;
    std::string error;
    ASSERT_TRUE(Parse({"--port", "1", "--serve"}, o, error)) << error;
    EXPECT_TRUE(o.serve.enabled);
    EXPECT_EQ(o.serve.host, "127.0.0.1");
    EXPECT_EQ(o.serve.port, 2947);
    EXPECT_FALSE(o.serveNmea.enabled);

    // The next argument is the address when it is one, else a file.
    ASSERT_TRUE(Parse({"--serve", "2948", "--pace", "2.5", "log.nmea"}, o, error)) << error;
    EXPECT_EQ(o.serve.port, 2948);
    EXPECT_DOUBLE_EQ(o.pace, 2.5);
    EXPECT_EQ(o.files, std::vector<std::string>{"log.nmea"});
    ASSERT_TRUE(Parse({"--serve", "log.nmea"}, o, error)) << error;
    EXPECT_EQ(o.serve.port, 2947);
    EXPECT_EQ(o.files, std::vector<std::string>{"log.nmea"});

    ASSERT_TRUE(
        Parse({"--port=1", "--serve=0.0.0.0:2947", "--serve-nmea", "[::1]:10111"}, o, error))
        << error;
    EXPECT_EQ(o.serve.host, "0.0.0.0");
    EXPECT_EQ(o.serveNmea.host, "::1");
    EXPECT_EQ(o.serveNmea.port, 10111);
    ASSERT_TRUE(Parse({"--serve-nmea", "--serve", "gps.local:0"}, o, error)) << error;
    EXPECT_EQ(o.serveNmea.port, 10110);
    EXPECT_EQ(o.serve.host, "gps.local");
    EXPECT_EQ(o.serve.port, 0);
}

TEST(GpsCatShareOptions, RefusedCombinationsAndValues) {
    gpscat::TOptions o;
    std::string error;
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--serve=65536"},
             {"--serve=:2947"},
             {"--serve=a b:1"},
             {"--serve=[::1]2947"},
             {"--pace", "0", "f"},
             {"--pace", "fast", "f"},
             {"--port", "1", "--pace", "1"},
             {"--serve", "3000", "--serve-nmea", "3000"},
         }) {
        EXPECT_FALSE(Parse(args, o, error)) << args[0];
        EXPECT_EQ(error.rfind("gpscat: ", 0), 0u) << error;
    }
    const std::string usage = gpscat::UsageText();
    for (const char* option : {"--serve [[HOST:]PORT]", "--serve-nmea", "--pace N", "0.0.0.0"}) {
        EXPECT_NE(usage.find(option), std::string::npos) << option;
    }
}
