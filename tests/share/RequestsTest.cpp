// Client requests from raw bytes, and the arguments of WATCH and DEVICE.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "share/Requests.h"

using share::TRequestKind;

namespace {

std::vector<share::TRequest> FeedAll(const std::string& bytes, bool* ok = nullptr) {
    share::TRequestParser p;
    std::vector<share::TRequest> out;
    const bool fed = p.Feed(bytes, out);
    if (ok) {
        *ok = fed;
    }
    return out;
}

std::vector<TRequestKind> Kinds(const std::vector<share::TRequest>& rs) {
    std::vector<TRequestKind> k;
    for (const auto& r : rs) {
        k.push_back(r.Kind);
    }
    return k;
}

}  // namespace

TEST(ShareRequests, SeveralInOneReadWithOrWithoutLineEnds) {
    const auto rs = FeedAll(
        "?VERSION;?DEVICES;\r\n?WATCH={\"enable\":true,\"json\":true};?POLL;\n?DEVICE;"
        "?WATCH;?WATCH={\"nmea\":true}?VERSION\n");
    EXPECT_EQ(Kinds(rs), (std::vector<TRequestKind>{TRequestKind::Version, TRequestKind::Devices,
                                                    TRequestKind::Watch, TRequestKind::Poll,
                                                    TRequestKind::Device, TRequestKind::Watch,
                                                    TRequestKind::Watch, TRequestKind::Version}));
    EXPECT_EQ(rs[2].Argument, "{\"enable\":true,\"json\":true}");
    EXPECT_FALSE(rs[5].HasArgument);
    EXPECT_EQ(rs[6].Argument, "{\"nmea\":true}");
}

TEST(ShareRequests, ASplitRequestGivesWhatTheWholeGives) {
    const std::string stream =
        "?WATCH={\"device\":\"a}b;\\\"c\",\n\"enable\":true,\"x\":[{}]};?POLL;\r\n?NOPE;?VERSION;";
    const auto whole = FeedAll(stream);
    ASSERT_EQ(whole.size(), 4u);
    EXPECT_EQ(whole[0].Argument, "{\"device\":\"a}b;\\\"c\",\n\"enable\":true,\"x\":[{}]}");
    // Every split point, and one byte a read.
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        share::TRequestParser p;
        std::vector<share::TRequest> out;
        ASSERT_TRUE(p.Feed(stream.substr(0, cut), out));
        ASSERT_TRUE(p.Feed(stream.substr(cut), out));
        ASSERT_EQ(out.size(), whole.size()) << cut;
        for (size_t i = 0; i < out.size(); ++i) {
            EXPECT_EQ(out[i].Text, whole[i].Text) << cut;
        }
    }
    share::TRequestParser p;
    std::vector<share::TRequest> out;
    for (const char c : stream) {
        p.Feed(std::string(1, c), out);
    }
    EXPECT_EQ(out.size(), whole.size());
}

TEST(ShareRequests, AnUnfinishedRequestWaitsForItsEnd) {
    share::TRequestParser p;
    std::vector<share::TRequest> out;
    p.Feed("  ?VERSION", out);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(p.Pending(), 8u);
    p.Feed("\r\n", out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].Kind, TRequestKind::Version);
    EXPECT_EQ(p.Pending(), 0u);
}

TEST(ShareRequests, AnythingElseIsUnknown) {
    const auto rs =
        FeedAll("?FOO;hello\n?version;?VERSION={};?WATCHX;?DEVICES=1;?POLL junk;?;;; \t;\n");
    ASSERT_EQ(rs.size(), 8u);
    for (const auto& r : rs) {
        EXPECT_EQ(r.Kind, TRequestKind::Unknown) << r.Text;
    }
    EXPECT_EQ(rs[0].Text, "?FOO");
    EXPECT_EQ(rs[1].Text, "hello");
    // ?WATCH=x is a WATCH whose argument is not an object: classified by the
    // argument check, not here.
    EXPECT_EQ(FeedAll("?WATCH=x;")[0].Kind, TRequestKind::Watch);
}

TEST(ShareRequests, ARequestPast8KiBEndsTheClient) {
    bool ok = false;
    auto rs = FeedAll("?" + std::string(share::TRequestParser::kMaxRequest - 1, 'A') + ";", &ok);
    EXPECT_TRUE(ok);
    ASSERT_EQ(rs.size(), 1u);
    EXPECT_EQ(rs[0].Text.size(), share::TRequestParser::kMaxRequest);

    // A JSON argument counts to its closing brace.
    for (const auto& [text, fits] :
         {std::pair{"?WATCH={\"a\":12}", true}, std::pair{"?WATCH={\"a\":123}", false}}) {
        share::TRequestParser small(15);
        std::vector<share::TRequest> got;
        EXPECT_EQ(small.Feed(text, got), fits) << text;
        EXPECT_EQ(got.size(), fits ? 1u : 0u) << text;
    }

    share::TRequestParser p;
    std::vector<share::TRequest> out;
    EXPECT_TRUE(p.Feed("?VERSION;?WATCH={\"device\":\"", out));
    EXPECT_FALSE(p.Feed(std::string(share::TRequestParser::kMaxRequest, 'x'), out));
    EXPECT_TRUE(p.Overflowed());
    EXPECT_EQ(out.size(), 1u);  // the request before it still counts
    EXPECT_FALSE(p.Feed("?VERSION;", out));
    EXPECT_EQ(out.size(), 1u);
    EXPECT_EQ(p.Pending(), 0u);
}

TEST(ShareRequests, WatchArgumentsChangeOnlyWhatTheyName) {
    share::TWatch w;
    std::string error;
    ASSERT_TRUE(share::ApplyWatch(R"({"enable":true})", w, error));
    EXPECT_TRUE(w.Enable && w.Json && !w.Nmea && w.Raw == 0);  // json by default
    ASSERT_TRUE(share::ApplyWatch(R"({"nmea":true,"class":"WATCH","other":5})", w, error));
    EXPECT_TRUE(w.Enable && w.Json && w.Nmea);
    ASSERT_TRUE(share::ApplyWatch(R"({"enable":false})", w, error));
    EXPECT_FALSE(w.WantsJson() || w.WantsNmea());

    share::TWatch raw;
    ASSERT_TRUE(share::ApplyWatch(R"({"raw":1,"device":"/dev/x"})", raw, error));
    EXPECT_TRUE(raw.WantsNmea());
    EXPECT_FALSE(raw.WantsJson());
    EXPECT_EQ(raw.Device, "/dev/x");

    for (const char* bad : {"[1]", "{", "", R"({"json":1})", R"({"raw":3})", R"({"raw":-1})",
                            R"({"raw":"1"})", R"({"device":7})", "{} x"}) {
        share::TWatch before = raw;
        error.clear();
        EXPECT_FALSE(share::ApplyWatch(bad, before, error)) << bad;
        EXPECT_EQ(before, raw) << bad;
        EXPECT_EQ(error.rfind("Invalid WATCH", 0), 0u) << bad;
    }
}

TEST(ShareRequests, DeviceArgumentsMayOnlyNameTheDevice) {
    share::TDeviceInfo d;
    d.Path = "/dev/ttyUSB0";
    std::string error;
    EXPECT_TRUE(share::DeviceQueryOnly(R"({"path":"/dev/ttyUSB0"})", d, error));
    EXPECT_TRUE(
        share::DeviceQueryOnly(R"({"class":"DEVICE","path":"/dev/ttyUSB0","bps":4800})", d, error));
    for (const char* change :
         {R"({"path":"/dev/ttyS0"})", R"({"bps":9600})", R"({"native":1})", R"({"cycle":0.2})",
          R"({"parity":"E"})", R"({"hexdata":"b562"})", "nope"}) {
        error.clear();
        EXPECT_FALSE(share::DeviceQueryOnly(change, d, error)) << change;
        EXPECT_FALSE(error.empty());
    }
}

TEST(ShareRequests, QuotedTextIsPrintableAndShort) {
    EXPECT_EQ(share::QuotedRequest("?A\x01\xff"), "?A\\x01\\xFF");
    const std::string q = share::QuotedRequest(std::string(500, 'a'));
    EXPECT_EQ(q, std::string(80, 'a') + "...");
}
