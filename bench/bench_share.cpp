// The share server under load: CLIENTS clients (default 50), each watching
// JSON and NMEA, at 10 epochs a second (an epoch: RMC, GGA, GSA, three GSV,
// then TPV and SKY) for SECONDS (default 30).
//   bench_share [SECONDS] [CLIENTS]
// Prints the server's processor time per client-epoch, the latency from the
// epoch's RMC to the last byte of its TPV at each client (p50, p99; goal
// p99 under 5 ms), and the server thread's wake-ups while it serves no
// client (goal: none).
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <asio.hpp>

#include "NmeaStreams.h"
#include "share/Server.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kRate = 10;  // epochs a second

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double ProcessCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::set<std::string> Tasks() {
    std::set<std::string> ids;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
        ids.insert(e.path().filename().string());
    }
    return ids;
}

// Voluntary plus involuntary context switches of one of this process's threads.
long Switches(const std::string& tid) {
    std::ifstream in("/proc/self/task/" + tid + "/status");
    std::string key;
    long total = 0;
    while (in >> key) {
        if (key == "voluntary_ctxt_switches:" || key == "nonvoluntary_ctxt_switches:") {
            long n = 0;
            in >> n;
            total += n;
        }
    }
    return total;
}

// One epoch's reports: the fix carries the epoch number in its time.
share::TTpv EpochTpv(int epoch) {
    share::TTpv t;
    t.Mode = 3;
    t.Time = 45351.5 + epoch / (kRate * 86400.0);
    t.Lat = 59.92 + epoch * 1e-7;
    t.Lon = 10.72;
    t.AltMSL = 12.3;
    t.GeoidSep = 39.8;
    t.Speed = 2.67;
    t.Track = 45.0;
    return t;
}

share::TSky EpochSky() {
    share::TSky s;
    s.Hdop = 0.9;
    s.Vdop = 1.2;
    s.Pdop = 1.5;
    for (int prn : {3, 7, 11, 16, 21, 26, 30, 65, 71, 72, 80, 302}) {
        auto sat = share::GpsdSatellite(prn > 300  ? gps::TGnssSystem::Galileo
                                        : prn > 64 ? gps::TGnssSystem::GLONASS
                                                   : gps::TGnssSystem::GPS,
                                        prn);
        sat->El = 10 + prn % 70;
        sat->Az = prn * 7 % 360;
        sat->Ss = 30 + prn % 15;
        sat->Used = prn % 2 == 1;
        s.Satellites.push_back(*sat);
    }
    return s;
}

// The epoch of a TPV line, from its time (12:00:00.000 plus a tenth a epoch).
int EpochOf(const std::string& line) {
    const size_t at = line.find("\"time\":\"2024-02-29T");
    if (at == std::string::npos) {
        return -1;
    }
    const char* t = line.c_str() + at + 19;
    const int h = std::atoi(t);
    const int m = std::atoi(t + 3);
    const double s = std::atof(t + 6);
    const double sod = h * 3600 + m * 60 + s - 12 * 3600;
    return static_cast<int>(std::lround(sod * kRate));
}

// The clients: one thread reading every socket, noting when each TPV's
// line end came.
class TClients {
  public:
    TClients(uint16_t port, int count, std::vector<std::atomic<int64_t>>& sent)
        : sent_(sent), work_(io_.get_executor()) {
        for (int i = 0; i < count; ++i) {
            auto c = std::make_unique<TConn>(io_);
            c->socket.connect({asio::ip::make_address("127.0.0.1"), port});
            const std::string watch = "?WATCH={\"enable\":true,\"json\":true,\"nmea\":true};\n";
            asio::write(c->socket, asio::buffer(watch));
            conns_.push_back(std::move(c));
        }
        for (auto& c : conns_) {
            Read(*c);
        }
        thread_ = std::thread([this] {
            io_.run();
            cpu_ = ThreadCpuSeconds();
        });
    }
    ~TClients() { Stop(); }
    void Stop() {
        if (thread_.joinable()) {
            work_.reset();
            asio::post(io_, [this] {
                for (auto& c : conns_) {
                    asio::error_code ignored;
                    c->socket.close(ignored);
                }
            });
            thread_.join();
        }
    }
    double Cpu() const { return cpu_; }
    std::vector<int64_t> Latencies() {
        std::lock_guard lock(lock_);
        return latencies_;
    }
    long Tpvs() const { return tpvs_; }

  private:
    struct TConn {
        explicit TConn(asio::io_context& io) : socket(io) {}
        asio::ip::tcp::socket socket;
        std::array<char, 65536> chunk{};
        std::string pending;
    };

    void Read(TConn& c) {
        c.socket.async_read_some(asio::buffer(c.chunk), [this, &c](asio::error_code ec, size_t n) {
            if (ec) {
                return;
            }
            const int64_t now = NowNs();
            c.pending.append(c.chunk.data(), n);
            size_t start = 0;
            for (size_t end; (end = c.pending.find('\n', start)) != std::string::npos;
                 start = end + 1) {
                if (c.pending.compare(start, 14, "{\"class\":\"TPV\"") == 0) {
                    const int e = EpochOf(c.pending.substr(start, end - start));
                    if (e >= 0 && static_cast<size_t>(e) < sent_.size()) {
                        std::lock_guard lock(lock_);
                        latencies_.push_back(now - sent_[e].load());
                        ++tpvs_;
                    }
                }
            }
            c.pending.erase(0, start);
            Read(c);
        });
    }

    std::vector<std::atomic<int64_t>>& sent_;
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::vector<std::unique_ptr<TConn>> conns_;
    std::thread thread_;
    std::mutex lock_;
    std::vector<int64_t> latencies_;
    std::atomic<long> tpvs_{0};
    double cpu_ = 0;
};

// Publishes epochs at 10 a second as a receiver's thread would; returns its
// own processor time.
double Publish(share::TServer& server, int epochs, std::vector<std::atomic<int64_t>>* sent) {
    const share::TSky sky = EpochSky();
    const std::string gga = "$GPGGA,120000.00,5955.2000,N,01043.2000,E,1,08,0.9,12.3,M,39.8,M,,";
    const std::string gsa = "$GPGSA,A,3,03,07,11,16,21,26,30,,,,,,1.5,0.9,1.2*00";
    const std::string gsv = "$GPGSV,3,1,12,03,45,123,38,07,12,045,31,11,67,270,44,16,30,310,40*00";
    auto next = Clock::now();
    for (int e = 0; e < epochs; ++e) {
        std::this_thread::sleep_until(next);
        next += std::chrono::milliseconds(1000 / kRate);
        if (sent) {
            (*sent)[e] = NowNs();
        }
        server.PublishNmea("$GPRMC,120000.00,A,5955.2000,N,01043.2000,E,5.2,45.0,290224,,,A*00");
        server.PublishNmea(gga);
        server.PublishNmea(gsa);
        for (int i = 0; i < 3; ++i) {
            server.PublishNmea(gsv);
        }
        server.PublishTpv(EpochTpv(e));
        server.PublishSky(sky);
    }
    return ThreadCpuSeconds();
}

int64_t Percentile(std::vector<int64_t> v, double p) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    const int clients = argc > 2 ? std::max(1, std::atoi(argv[2])) : 50;
    const int epochs = seconds * kRate;

    share::TServerOptions o;
    o.Port = 0;
    share::TServer server(o);
    share::TDeviceInfo device;
    device.Path = "/dev/ttyBENCH";
    device.DataSeen = true;
    server.SetDevice(device);
    const std::set<std::string> before = Tasks();
    if (!server.Start().Ok) {
        std::fprintf(stderr, "bench_share: cannot serve\n");
        return 1;
    }
    std::string serverTid;
    for (const std::string& t : Tasks()) {
        if (!before.count(t)) {
            serverTid = t;
        }
    }

    // Idle: three seconds of epochs with no client.
    const long idleBefore = Switches(serverTid);
    Publish(server, 3 * kRate, nullptr);
    const long idleWakeups = Switches(serverTid) - idleBefore;

    std::vector<std::atomic<int64_t>> sent(epochs);
    TClients readers(server.Port(), clients, sent);
    while (server.Clients() < static_cast<size_t>(clients)) {
        std::this_thread::sleep_for(10ms);
    }
    const double cpuStart = ProcessCpuSeconds();
    double publisherCpu = 0;
    std::thread publisher([&] { publisherCpu = Publish(server, epochs, &sent); });
    publisher.join();
    // The last epoch's reports reach every client.
    const auto deadline = Clock::now() + 10s;
    while (readers.Tpvs() < static_cast<long>(epochs) * clients && Clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    readers.Stop();
    const double serverCpu = ProcessCpuSeconds() - cpuStart - readers.Cpu() - publisherCpu;
    const std::vector<int64_t> lat = readers.Latencies();

    std::printf("clients %d, epochs %d (%d a second), TPVs received %zu of %ld\n", clients, epochs,
                kRate, lat.size(), static_cast<long>(epochs) * clients);
    std::printf("server CPU per client-epoch: %.2f us (%.1f ms over %d s)\n",
                serverCpu * 1e6 / (static_cast<double>(epochs) * clients), serverCpu * 1e3,
                seconds);
    std::printf("RMC to TPV last byte: p50 %.3f ms, p99 %.3f ms, max %.3f ms\n",
                Percentile(lat, 0.50) / 1e6, Percentile(lat, 0.99) / 1e6,
                Percentile(lat, 1.0) / 1e6);
    std::printf("server thread wake-ups with no client over 3 s of epochs: %ld\n", idleWakeups);
    return 0;
}
