// The share server through real sockets on the loopback: the protocol's
// edges, the watchers, and the limits that protect the other clients.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "PalmoVersion.h"
#include "share/Server.h"
#include "share/ShareClient.h"
#include "support/Pump.h"

using nlohmann::json;
using sharetest::TClient;
using testsupport::Eventually;
using namespace std::chrono_literals;

namespace {

// A started server on a free port that keeps its log lines.
class TServed {
  public:
    explicit TServed(share::TServerOptions o = {})
        : server_([&] {
              o.Host = "127.0.0.1";
              o.Port = 0;
              return o;
          }()) {
        server_.OnLog = [this](const std::string& line) {
            std::lock_guard lock(lock_);
            log_.push_back(line);
        };
        share::TDeviceInfo d;
        d.Path = "/dev/ttyTEST0";
        d.DataSeen = true;
        server_.SetDevice(d);
        const share::TStartResult r = server_.Start();
        EXPECT_TRUE(r.Ok) << r.Message;
    }
    share::TServer& operator*() { return server_; }
    share::TServer* operator->() { return &server_; }
    uint16_t Port() const { return server_.Port(); }
    bool Logged(const std::string& part) {
        std::lock_guard lock(lock_);
        for (const std::string& l : log_) {
            if (l.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

  private:
    // Before the server, which logs until it stops.
    std::mutex lock_;
    std::vector<std::string> log_;
    share::TServer server_;
};

std::string ClassOf(const json& j) {
    return j.is_object() ? j.value("class", "") : "";
}

// A client past its VERSION greeting.
std::unique_ptr<TClient> Greeted(uint16_t port) {
    auto c = std::make_unique<TClient>(port);
    const json v = c->Object();
    EXPECT_EQ(ClassOf(v), "VERSION");
    return c;
}

// A client that watches as asked, past the DEVICES and WATCH replies.
std::unique_ptr<TClient> Watching(uint16_t port, const std::string& watch) {
    auto c = Greeted(port);
    c->Send("?WATCH=" + watch + ";\n");
    EXPECT_EQ(ClassOf(c->Object()), "DEVICES");
    EXPECT_EQ(ClassOf(c->Object()), "WATCH");
    return c;
}

share::TTpv Fix(double lat) {
    share::TTpv t;
    t.Mode = 3;
    t.Lat = lat;
    t.Lon = 11.5;
    return t;
}

// The next object's class after asking for the version: "VERSION" when
// nothing unasked was sent before it.
std::string NextAfterAsking(TClient& c) {
    c.Send("?VERSION;");
    return ClassOf(c.Object());
}

// A receiver's thread: calls feed(i) for i = 0, 1, ... about once a
// millisecond (a busy receiver's rate) until it is destroyed.
class TFeeder {
  public:
    explicit TFeeder(std::function<void(long)> feed)
        : thread_([this, feed = std::move(feed)] {
              for (long i = 0; !stop_; ++i) {
                  feed(i);
                  fed_ = i + 1;
                  std::this_thread::sleep_for(1ms);
              }
          }) {}
    ~TFeeder() {
        stop_ = true;
        thread_.join();
    }
    long Fed() const { return fed_; }

  private:
    std::atomic<bool> stop_{false};
    std::atomic<long> fed_{0};
    std::thread thread_;
};

}  // namespace

TEST(ShareServer, GreetsAndAnswersRequestsHoweverTheyArrive) {
    TServed s;
    TClient c(s.Port());
    const std::optional<std::string> hello = c.Line();
    ASSERT_TRUE(hello.has_value());
    EXPECT_EQ(*hello, std::string("{\"class\":\"VERSION\",\"release\":\"") + palmo::kVersion +
                          "\",\"rev\":\"" + palmo::kVersion +
                          "\",\"proto_major\":3,\"proto_minor\":14}\r\n");

    c.Send("?VERSION;?DEVICES;");  // two in one write
    EXPECT_EQ(c.Object()["class"], "VERSION");
    json devices = c.Object();
    EXPECT_EQ(devices["devices"][0]["path"], "/dev/ttyTEST0");

    for (const char* part : {"?WAT", "CH={\"enable\":tr", "ue,\"json\":true}"}) {
        c.Send(part);  // one request over three writes, no terminator after it
    }
    EXPECT_EQ(c.Object()["class"], "DEVICES");
    json watch = c.Object();
    EXPECT_EQ(watch["class"], "WATCH");
    EXPECT_EQ(watch["enable"], true);
    EXPECT_EQ(watch["json"], true);

    c.Send("?FOO;?POLL");
    json error = c.Object();
    EXPECT_EQ(error["class"], "ERROR");
    EXPECT_EQ(error["message"], "Unrecognized request '?FOO'");
    c.Send("\r\n");  // the line end finishes ?POLL
    json poll = c.Object();
    EXPECT_EQ(poll["class"], "POLL");
    EXPECT_EQ(poll["tpv"].size(), 0u);

    c.Send("?DEVICE={\"path\":\"/dev/ttyS9\",\"bps\":9600};?DEVICE;");
    EXPECT_EQ(c.Object()["class"], "ERROR");
    EXPECT_EQ(c.Object()["path"], "/dev/ttyTEST0");
    EXPECT_TRUE(s.Logged("configure"));
}

TEST(ShareServer, EachWatcherGetsItsKindOfReport) {
    TServed s;
    auto jsonWatcher = Watching(s.Port(), R"({"enable":true,"json":true})");
    auto nmeaWatcher = Watching(s.Port(), R"({"enable":true,"raw":1})");
    auto otherDevice = Watching(s.Port(), R"({"enable":true,"json":true,"device":"/dev/x"})");
    auto idle = Greeted(s.Port());
    ASSERT_TRUE(Eventually([&] { return s->Clients() == 4; }));

    const std::string rmc = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A";
    s->PublishNmea(rmc);
    s->PublishTpv(Fix(48.1173));
    share::TSky sky;
    sky.Satellites.push_back({5, 0, 5, 40, 100, 38, true});
    s->PublishSky(sky);
    s->PublishNmea("$GPGSA,A,3,05,,,,,,,,,,,,2.5,1.3,2.2*3B");

    json tpv = jsonWatcher->Object();
    EXPECT_EQ(tpv["class"], "TPV");
    EXPECT_EQ(tpv["device"], "/dev/ttyTEST0");
    EXPECT_DOUBLE_EQ(tpv["lat"].get<double>(), 48.1173);
    json got = jsonWatcher->Object();
    EXPECT_EQ(got["class"], "SKY");
    EXPECT_EQ(got["satellites"][0]["PRN"], 5);
    EXPECT_EQ(NextAfterAsking(*jsonWatcher), "VERSION");

    EXPECT_EQ(nmeaWatcher->Line(), rmc + "\r\n");
    EXPECT_EQ(nmeaWatcher->Line(), "$GPGSA,A,3,05,,,,,,,,,,,,2.5,1.3,2.2*3B\r\n");
    EXPECT_EQ(NextAfterAsking(*nmeaWatcher), "VERSION");

    EXPECT_EQ(NextAfterAsking(*otherDevice), "VERSION");
    EXPECT_EQ(NextAfterAsking(*idle), "VERSION");

    // ?POLL gives the last of each; a watch turned off gets nothing more.
    idle->Send("?POLL;");
    json poll = idle->Object();
    EXPECT_EQ(poll["active"], 1);
    EXPECT_DOUBLE_EQ(poll["tpv"][0]["lat"].get<double>(), 48.1173);
    EXPECT_EQ(poll["sky"][0]["uSat"], 1);
    jsonWatcher->Send("?WATCH={\"enable\":false};");
    EXPECT_EQ(jsonWatcher->Object()["class"], "DEVICES");
    EXPECT_EQ(jsonWatcher->Object()["enable"], false);
    s->PublishTpv(Fix(1.0));
    EXPECT_EQ(NextAfterAsking(*jsonWatcher), "VERSION");
}

TEST(ShareServer, ARequestPast8KiBClosesOnlyThatClient) {
    TServed s;
    auto bad = Greeted(s.Port());
    auto good = Greeted(s.Port());
    bad->Send("?WATCH={\"device\":\"" + std::string(9000, 'x'));
    EXPECT_TRUE(bad->Closed());
    EXPECT_TRUE(s.Logged("request longer than 8192 bytes"));
    EXPECT_EQ(NextAfterAsking(*good), "VERSION");
    EXPECT_TRUE(Eventually([&] { return s->Clients() == 1; }));
}

TEST(ShareServer, AClientThatStopsReadingIsClosedWhileTheOthersKeepEveryLine) {
    TServed s;
    // The stalled client takes little into its socket, the reader all.
    auto stalled = std::make_unique<TClient>(s.Port(), 4096);
    stalled->Send("?WATCH={\"nmea\":true}\n");
    auto reader = Watching(s.Port(), R"({"nmea":true})");
    ASSERT_TRUE(Eventually([&] { return s->Clients() == 2; }));

    std::atomic<long> received{0};
    std::atomic<bool> inOrder{true};
    std::thread readerThread([&] {
        for (long expected = 0;; ++expected) {
            const std::optional<std::string> line = reader->Line(60s);
            if (!line || *line == "$END\r\n") {
                return;
            }
            if (*line != "$N," + std::to_string(expected) + std::string(180, '.') + "\r\n") {
                inOrder = false;
                return;
            }
            received = expected + 1;
        }
    });
    // Published in batches that the reader keeps up with, until the server
    // gives up on the stalled client (bounded at 100 MB).
    long published = 0;
    const long batch = 200;
    while (s->Clients() == 2 && published < 500000) {
        for (long i = 0; i < batch; ++i, ++published) {
            s->PublishNmea("$N," + std::to_string(published) + std::string(180, '.'));
        }
        ASSERT_TRUE(Eventually([&] { return received >= published - batch || !inOrder; }, 30000));
    }
    s->PublishNmea("$END");
    readerThread.join();
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(received, published);
    EXPECT_EQ(s->Clients(), 1u);
    EXPECT_TRUE(s.Logged("stopped reading"));
    EXPECT_TRUE(stalled->Closed(60s));  // what it had in its socket, then the end
}

TEST(ShareServer, The65thClientIsToldAndClosed) {
    TServed s;
    std::vector<std::unique_ptr<TClient>> clients;
    for (int i = 0; i < 64; ++i) {
        clients.push_back(Greeted(s.Port()));
    }
    EXPECT_EQ(s->Clients(), 64u);
    TClient extra(s.Port());
    json error = extra.Object();
    EXPECT_EQ(error["class"], "ERROR");
    EXPECT_NE(error["message"].get<std::string>().find("64 clients"), std::string::npos);
    EXPECT_TRUE(extra.Closed());
    EXPECT_TRUE(s.Logged("refused"));
    EXPECT_EQ(s->Clients(), 64u);
    EXPECT_EQ(NextAfterAsking(*clients.front()), "VERSION");

    clients.pop_back();
    ASSERT_TRUE(Eventually([&] { return s->Clients() == 63; }));
    clients.push_back(Greeted(s.Port()));
    EXPECT_EQ(s->Clients(), 64u);
}

TEST(ShareServer, AClientThatWatchesNothingAndSaysNothingFor15MinutesIsClosed) {
    std::atomic<int64_t> seconds{0};
    const auto start = std::chrono::steady_clock::now();
    share::TServerOptions o;
    o.Now = [&] { return start + std::chrono::seconds(seconds.load()); };
    TServed s(o);
    auto silent = Greeted(s.Port());
    auto watcher = Watching(s.Port(), R"({"enable":true,"json":true})");
    auto talker = Greeted(s.Port());

    seconds = 10 * 60;
    EXPECT_EQ(NextAfterAsking(*talker), "VERSION");  // heard at 10 minutes
    seconds = 15 * 60 - 1;
    s->CheckIdle();
    EXPECT_EQ(NextAfterAsking(*watcher), "VERSION");  // the check has run
    EXPECT_EQ(s->Clients(), 3u);
    seconds = 15 * 60;
    s->CheckIdle();
    EXPECT_TRUE(silent->Closed());
    EXPECT_TRUE(s.Logged("idle for 900 s"));
    EXPECT_EQ(s->Clients(), 2u);

    seconds = 25 * 60;  // 15 minutes after the talker was last heard
    s->CheckIdle();
    EXPECT_TRUE(talker->Closed());
    EXPECT_EQ(s->Clients(), 1u);
    EXPECT_EQ(NextAfterAsking(*watcher), "VERSION");
}

TEST(ShareServer, ABusyPortIsAddressInUse) {
    TServed first;
    share::TServerOptions o;
    o.Port = first.Port();
    share::TServer second(o);
    const share::TStartResult r = second.Start();
    EXPECT_FALSE(r.Ok);
    EXPECT_TRUE(r.AddressInUse);
    EXPECT_EQ(r.Message, "address in use");
    EXPECT_FALSE(second.Running());
    EXPECT_EQ(NextAfterAsking(*Greeted(first.Port())), "VERSION");
}

TEST(ShareServer, PublishingFromAnotherThreadWhileClientsComeAndGo) {
    TServed s;
    auto receiver = std::make_unique<TFeeder>([&](long i) {
        share::TDeviceInfo d;
        d.Path = "/dev/ttyTEST0";
        d.DataSeen = true;
        s->SetDevice(d);
        s->PublishNmea("$GPTXT,01,01,02,epoch " + std::to_string(i));
        s->PublishTpv(Fix(static_cast<double>(i % 90)));
        s->PublishSky(share::TSky{});
    });
    for (int i = 0; i < 40; ++i) {
        auto c = Watching(s.Port(), R"({"enable":true,"json":true,"nmea":true})");
        bool sawTpv = false;
        bool sawNmea = false;
        while (!(sawTpv && sawNmea)) {
            const std::optional<std::string> line = c->Line();
            ASSERT_TRUE(line.has_value());
            sawNmea = sawNmea || line->rfind("$GPTXT,", 0) == 0;
            sawTpv = sawTpv || line->rfind("{\"class\":\"TPV\"", 0) == 0;
        }
    }
    receiver.reset();
    EXPECT_TRUE(Eventually([&] { return s->Clients() == 0; }));
}

TEST(ShareNmeaServer, ClientsGetWholeSentencesFromWhereverTheyJoin) {
    share::TServerOptions o;
    o.Mode = share::TServeMode::Nmea;
    TServed s(o);
    TFeeder receiver(
        [&](long i) { s->PublishNmea("$GPTXT,01,01,02," + std::to_string(i) + "*00"); });
    ASSERT_TRUE(Eventually([&] { return receiver.Fed() > 100; }));
    TClient c(s.Port());
    // What a client sends is dropped, however much.
    c.Send(std::string(300000, '?'));
    long last = -1;
    for (int n = 0; n < 300; ++n) {
        const std::optional<std::string> line = c.Line();
        ASSERT_TRUE(line.has_value());
        ASSERT_EQ(line->rfind("$GPTXT,01,01,02,", 0), 0u) << *line;
        ASSERT_EQ(line->substr(line->size() - 5), "*00\r\n");
        const long seq = std::stol(line->substr(16));
        if (last >= 0) {
            ASSERT_EQ(seq, last + 1);
        }
        last = seq;
    }
    EXPECT_EQ(s->Clients(), 1u);
}
