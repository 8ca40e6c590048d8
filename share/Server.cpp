#include "share/Server.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "PalmoVersion.h"
#include "share/Listener.h"
#include "share/Requests.h"
#include "toolkit/SystemClock.h"

namespace share {

namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using TLine = std::shared_ptr<const std::string>;

// Lines handed to one gathering write at most.
constexpr size_t kMaxGather = 64;
// Clients over the limit that are being told so at once; more are closed
// without a word.
constexpr size_t kMaxRefused = 16;
// How long a refused client has to take its ERROR before it is closed.
constexpr std::chrono::seconds kRefusedGrace{5};
// A failed accept (out of descriptors, say) is retried after this pause
// rather than at once, which would spin.
constexpr std::chrono::milliseconds kAcceptRetry{100};

std::string EndpointText(const tcp::endpoint& e) {
    const std::string host = e.address().to_string();
    const std::string port = std::to_string(e.port());
    return e.address().is_v6() ? "[" + host + "]:" + port : host + ":" + port;
}

std::string ClientCount(size_t n) {
    return std::to_string(n) + (n == 1 ? " client" : " clients");
}

TLine MakeLine(std::string text) {
    return std::make_shared<const std::string>(std::move(text));
}

}  // namespace

struct TSession : std::enable_shared_from_this<TSession> {
    explicit TSession(tcp::socket s) : socket(std::move(s)) {}

    tcp::socket socket;
    std::string peer;
    TRequestParser parser;
    TWatch watch;
    std::deque<TLine> queue;  // unsent lines; the first inFlight are being written
    size_t inFlight = 0;
    size_t unsent = 0;  // bytes in queue
    bool writing = false;
    bool open = true;
    bool refused = false;  // over the client limit: told so, then closed
    Clock::time_point lastHeard;
    std::array<char, 2048> input{};
    std::vector<asio::const_buffer> buffers;
    std::vector<TRequest> requests;
    std::optional<asio::steady_timer> grace;
};

using TSessionPtr = std::shared_ptr<TSession>;

struct TServer::TImpl {
    TImpl(TServer& o, TServerOptions opts) : owner(o), options(std::move(opts)) {
        if (options.Release.empty()) {
            options.Release = palmo::kVersion;
        }
    }

    TServer& owner;
    TServerOptions options;
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
    tcp::acceptor acceptor{io};
    asio::steady_timer acceptRetry{io};
    asio::steady_timer idleTimer{io};
    std::optional<Clock::time_point> idleArmedFor;
    std::thread thread;
    std::atomic<bool> running{false};
    std::atomic<uint16_t> port{0};
    std::atomic<size_t> clients{0};
    std::atomic<size_t> watchers{0};
    std::atomic<size_t> backlog{0};

    // The server thread's own.
    std::vector<TSessionPtr> sessions;
    size_t refusedNow = 0;

    // Written by the receiver's thread, read by the server's.
    mutable std::mutex latestLock;
    TDeviceInfo device;
    std::optional<TTpv> lastTpv;
    std::optional<TSky> lastSky;

    Clock::time_point Now() const { return options.Now ? options.Now() : Clock::now(); }

    void Log(const std::string& line) {
        if (owner.OnLog) {
            owner.OnLog(line);
        }
    }

    TDeviceInfo Device() const {
        std::lock_guard lock(latestLock);
        return device;
    }

    // ---- Connections ----

    void Accept() {
        acceptor.async_accept([this](asio::error_code ec, tcp::socket socket) {
            if (!acceptor.is_open() || ec == asio::error::operation_aborted) {
                return;
            }
            if (ec) {
                Log("cannot accept a client: " + ec.message());
                acceptRetry.expires_after(kAcceptRetry);
                acceptRetry.async_wait([this](asio::error_code e) {
                    if (!e && acceptor.is_open()) {
                        Accept();
                    }
                });
                return;
            }
            Accepted(std::move(socket));
            Accept();
        });
    }

    void Accepted(tcp::socket socket) {
        asio::error_code ec;
        auto s = std::make_shared<TSession>(std::move(socket));
        const tcp::endpoint remote = s->socket.remote_endpoint(ec);
        s->peer = ec ? "(unknown)" : EndpointText(remote);
        // Each line is due at once: no waiting for more to fill a segment.
        s->socket.set_option(tcp::no_delay(true), ec);
        s->lastHeard = Now();
        if (sessions.size() - refusedNow >= options.MaxClients) {
            Log("client " + s->peer + " refused: " + ClientCount(options.MaxClients) +
                " already, the most served");
            if (refusedNow >= kMaxRefused) {
                s->socket.close(ec);
                return;
            }
            s->refused = true;
            ++refusedNow;
            sessions.push_back(s);
            s->grace.emplace(io);
            s->grace->expires_after(kRefusedGrace);
            s->grace->async_wait([this, s](asio::error_code e) {
                if (!e) {
                    Close(s, {});
                }
            });
            Enqueue(s, MakeLine(ErrorLine("Too many clients: " + ClientCount(options.MaxClients) +
                                          " are served at most")));
            Read(s);
            return;
        }
        sessions.push_back(s);
        const size_t n = ++clients;
        Log("client " + s->peer + " connected (" + ClientCount(n) + ")");
        if (owner.OnClientsChanged) {
            owner.OnClientsChanged(n);
        }
        if (options.Mode == TServeMode::Gpsd) {
            Enqueue(s, MakeLine(VersionLine(options.Release, options.Release)));
        }
        Read(s);
        ArmIdle();
        Recount();
    }

    // Closes a client; reason (when not empty) goes to the log. The count
    // and the log line come first, so that they are in place by the time
    // the client sees its connection end.
    void Close(const TSessionPtr& s, const std::string& reason) {
        if (!s->open) {
            return;
        }
        s->open = false;
        sessions.erase(std::remove(sessions.begin(), sessions.end(), s), sessions.end());
        size_t n = 0;
        if (s->refused) {
            --refusedNow;
        } else {
            n = --clients;
            Log("client " + s->peer + (reason.empty() ? " left" : " closed: " + reason) + " (" +
                ClientCount(n) + ")");
        }
        asio::error_code ignored;
        s->socket.shutdown(tcp::socket::shutdown_both, ignored);
        s->socket.close(ignored);
        if (s->grace) {
            s->grace->cancel();
        }
        if (!s->refused) {
            Recount();
            if (owner.OnClientsChanged) {
                owner.OnClientsChanged(n);
            }
            ArmIdle();
        }
    }

    void CloseAll() {
        const std::vector<TSessionPtr> all = sessions;
        for (const TSessionPtr& s : all) {
            Close(s, "the server stops");
        }
    }

    // ---- Input ----

    void Read(const TSessionPtr& s) {
        s->socket.async_read_some(asio::buffer(s->input), [this, s](asio::error_code ec, size_t n) {
            if (!s->open) {
                return;
            }
            if (ec) {
                Close(s, ec == asio::error::eof ? std::string() : ec.message());
                return;
            }
            s->lastHeard = Now();
            if (options.Mode == TServeMode::Gpsd && !s->refused) {
                Requests(s, std::string_view(s->input.data(), n));
            }
            if (s->open) {
                Read(s);
            }
        });
    }

    void Requests(const TSessionPtr& s, std::string_view bytes) {
        s->requests.clear();
        if (!s->parser.Feed(bytes, s->requests)) {
            Close(s,
                  "request longer than " + std::to_string(TRequestParser::kMaxRequest) + " bytes");
            return;
        }
        const TWatch before = s->watch;
        for (const TRequest& r : s->requests) {
            Answer(s, r);
            if (!s->open) {
                return;
            }
        }
        if (!(s->watch == before)) {
            ArmIdle();
            Recount();
        }
    }

    void Answer(const TSessionPtr& s, const TRequest& r) {
        std::string error;
        switch (r.Kind) {
            case TRequestKind::Version:
                Enqueue(s, MakeLine(VersionLine(options.Release, options.Release)));
                break;
            case TRequestKind::Devices:
                Enqueue(s, MakeLine(DevicesLine(Device())));
                break;
            case TRequestKind::Watch:
                if (r.HasArgument && !ApplyWatch(r.Argument, s->watch, error)) {
                    Enqueue(s, MakeLine(ErrorLine(error)));
                    break;
                }
                Enqueue(s, MakeLine(DevicesLine(Device())));
                Enqueue(s, MakeLine(WatchLine(s->watch)));
                break;
            case TRequestKind::Poll: {
                std::unique_lock lock(latestLock);
                const TDeviceInfo d = device;
                const std::optional<TTpv> tpv = lastTpv;
                const std::optional<TSky> sky = lastSky;
                lock.unlock();
                Enqueue(s, MakeLine(PollLine(tk::UtcNowDayCount(), d, tpv, sky)));
                break;
            }
            case TRequestKind::Device: {
                const TDeviceInfo d = Device();
                if (r.HasArgument && !DeviceQueryOnly(r.Argument, d, error)) {
                    Log("client " + s->peer + " asked to configure the device; refused");
                    Enqueue(s, MakeLine(ErrorLine(error)));
                } else {
                    Enqueue(s, MakeLine(DeviceLine(d)));
                }
                break;
            }
            case TRequestKind::Unknown:
                Enqueue(
                    s, MakeLine(ErrorLine("Unrecognized request '" + QuotedRequest(r.Text) + "'")));
                break;
        }
    }

    // ---- Output ----

    void Enqueue(const TSessionPtr& s, const TLine& line) {
        if (!s->open) {
            return;
        }
        if (s->unsent + line->size() > options.MaxUnsent) {
            Close(s, "more than " + std::to_string(options.MaxUnsent) +
                         " bytes unsent, it stopped reading");
            return;
        }
        s->queue.push_back(line);
        s->unsent += line->size();
        if (!s->writing) {
            Write(s);
        }
    }

    void Write(const TSessionPtr& s) {
        s->buffers.clear();
        s->inFlight = std::min(s->queue.size(), kMaxGather);
        for (size_t i = 0; i < s->inFlight; ++i) {
            s->buffers.push_back(asio::buffer(*s->queue[i]));
        }
        s->writing = true;
        asio::async_write(s->socket, s->buffers, [this, s](asio::error_code ec, size_t) {
            s->writing = false;
            if (!s->open) {
                return;
            }
            if (ec) {
                Close(s, ec.message());
                return;
            }
            const size_t before = s->unsent;
            for (size_t i = 0; i < s->inFlight; ++i) {
                s->unsent -= s->queue.front()->size();
                s->queue.pop_front();
            }
            s->inFlight = 0;
            if (before >= backlog) {
                Recount();  // this client was the one furthest behind
            }
            if (!s->queue.empty()) {
                Write(s);
            } else if (s->refused) {
                // Told; the client's close (or the grace time) ends it.
                asio::error_code ignored;
                s->socket.shutdown(tcp::socket::shutdown_send, ignored);
            }
        });
    }

    // To every client that watches the device in that way (gpsd mode), or
    // to every client (NMEA mode, nmea lines only).
    template <typename MakeText>
    void Broadcast(bool nmea, const std::string& path, MakeText make) {
        TLine line;
        const std::vector<TSessionPtr> all = sessions;
        for (const TSessionPtr& s : all) {
            if (s->refused) {
                continue;
            }
            if (options.Mode == TServeMode::Gpsd) {
                const TWatch& w = s->watch;
                if (!(nmea ? w.WantsNmea() : w.WantsJson()) ||
                    (!w.Device.empty() && w.Device != path)) {
                    continue;
                }
            } else if (!nmea) {
                continue;
            }
            if (!line) {
                line = MakeLine(make());
            }
            Enqueue(s, line);
        }
        if (line) {
            Recount();
        }
    }

    // ---- Counts for the feeding side ----

    bool Watches(const TSession& s) const {
        return s.open && !s.refused &&
               (options.Mode == TServeMode::Nmea || s.watch.WantsJson() || s.watch.WantsNmea());
    }

    void Recount() {
        size_t w = 0;
        size_t most = 0;
        for (const TSessionPtr& s : sessions) {
            w += Watches(*s) ? 1 : 0;
            most = std::max(most, s->refused ? 0 : s->unsent);
        }
        watchers = w;
        backlog = most;
    }

    // ---- The idle rule ----

    bool IdleCandidate(const TSession& s) const {
        return options.Mode == TServeMode::Gpsd && s.open && !s.refused && !s.watch.WantsJson() &&
               !s.watch.WantsNmea();
    }

    void SweepIdle() {
        const Clock::time_point now = Now();
        const std::vector<TSessionPtr> all = sessions;
        for (const TSessionPtr& s : all) {
            if (IdleCandidate(*s) && now - s->lastHeard >= options.IdleLimit) {
                Close(s, "idle for " + std::to_string(options.IdleLimit.count()) +
                             " s, watching nothing");
            }
        }
        ArmIdle();
    }

    // Keeps the idle timer on the earliest deadline of the clients that
    // watch nothing, and off when there is none: no wake-ups otherwise.
    void ArmIdle() {
        std::optional<Clock::time_point> earliest;
        for (const TSessionPtr& s : sessions) {
            if (IdleCandidate(*s)) {
                const Clock::time_point due = s->lastHeard + options.IdleLimit;
                earliest = earliest ? std::min(*earliest, due) : due;
            }
        }
        if (!earliest) {
            if (idleArmedFor) {
                idleArmedFor.reset();
                idleTimer.cancel();
            }
            return;
        }
        // A timer due earlier stays: when it fires it sweeps and re-arms.
        if (idleArmedFor && *idleArmedFor <= *earliest) {
            return;
        }
        idleArmedFor = earliest;
        idleTimer.expires_after(std::max(Clock::duration::zero(), *earliest - Now()));
        idleTimer.async_wait([this](asio::error_code ec) {
            if (ec) {
                return;
            }
            idleArmedFor.reset();
            SweepIdle();
        });
    }

    void Run() {
        for (;;) {
            try {
                io.run();
                return;
            } catch (const std::exception& e) {
                Log(std::string("share server: ") + e.what());
            }
        }
    }
};

TServer::TServer(TServerOptions options)
    : impl_(std::make_unique<TImpl>(*this, std::move(options))) {}

TServer::~TServer() {
    Stop();
}

TStartResult TServer::Start() {
    TStartResult result;
    TImpl& m = *impl_;
    if (m.running || m.thread.joinable()) {
        result.Message = "already serving";
        return result;
    }
    asio::error_code ec;
    tcp::resolver resolver(m.io);
    const auto found =
        resolver.resolve(m.options.Host, std::to_string(m.options.Port),
                         tcp::resolver::passive | tcp::resolver::numeric_service, ec);
    if (ec || found.empty()) {
        result.Message = "unknown host (" + (ec ? ec.message() : std::string("no address")) + ")";
        return result;
    }
    const tcp::endpoint endpoint = found.begin()->endpoint();
    m.acceptor.open(endpoint.protocol(), ec);
    if (!ec) {
        PrepareListener(m.acceptor);
        m.acceptor.bind(endpoint, ec);
    }
    if (!ec) {
        m.acceptor.listen(asio::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        asio::error_code ignored;
        m.acceptor.close(ignored);
        result.AddressInUse = ec == asio::error::address_in_use;
        result.Message = result.AddressInUse ? "address in use" : ec.message();
        return result;
    }
    m.port = m.acceptor.local_endpoint(ec).port();
    m.running = true;
    m.Accept();
    m.thread = std::thread([&m] { m.Run(); });
    result.Ok = true;
    return result;
}

void TServer::Stop() {
    TImpl& m = *impl_;
    if (!m.thread.joinable()) {
        return;
    }
    m.running = false;
    asio::post(m.io, [&m] {
        asio::error_code ignored;
        m.acceptor.close(ignored);
        m.acceptRetry.cancel();
        m.idleTimer.cancel();
        m.CloseAll();
        m.io.stop();
    });
    m.thread.join();
}

bool TServer::Running() const {
    return impl_->running;
}

const TServerOptions& TServer::Options() const {
    return impl_->options;
}

uint16_t TServer::Port() const {
    return impl_->port;
}

size_t TServer::Clients() const {
    return impl_->clients;
}

size_t TServer::Watchers() const {
    return impl_->watchers;
}

size_t TServer::Backlog() const {
    return impl_->backlog;
}

void TServer::SetDevice(const TDeviceInfo& device) {
    std::lock_guard lock(impl_->latestLock);
    impl_->device = device;
}

void TServer::PublishTpv(const TTpv& tpv) {
    TImpl& m = *impl_;
    std::string path;
    {
        std::lock_guard lock(m.latestLock);
        m.lastTpv = tpv;
        path = m.device.Path;
    }
    if (m.options.Mode != TServeMode::Gpsd || !m.running || m.clients == 0) {
        return;
    }
    asio::post(m.io, [&m, tpv, path = std::move(path)] {
        m.Broadcast(false, path, [&] { return TpvLine(tpv, path); });
    });
}

void TServer::PublishSky(const TSky& sky) {
    TImpl& m = *impl_;
    std::string path;
    {
        std::lock_guard lock(m.latestLock);
        m.lastSky = sky;
        path = m.device.Path;
    }
    if (m.options.Mode != TServeMode::Gpsd || !m.running || m.clients == 0) {
        return;
    }
    asio::post(m.io, [&m, sky, path = std::move(path)] {
        m.Broadcast(false, path, [&] { return SkyLine(sky, path); });
    });
}

void TServer::PublishNmea(std::string_view sentence) {
    TImpl& m = *impl_;
    if (!m.running || m.clients == 0) {
        return;
    }
    std::string text;
    text.reserve(sentence.size() + 2);
    text.append(sentence).append("\r\n");
    std::string path;
    if (m.options.Mode == TServeMode::Gpsd) {
        std::lock_guard lock(m.latestLock);
        path = m.device.Path;
    }
    asio::post(m.io, [&m, text = std::move(text), path = std::move(path)]() mutable {
        m.Broadcast(true, path, [&] { return std::move(text); });
    });
}

bool TServer::Drain(std::chrono::milliseconds timeout) {
    TImpl& m = *impl_;
    if (!m.running) {
        return true;
    }
    // Once this runs, everything posted before it has been queued.
    auto passed = std::make_shared<std::atomic<bool>>(false);
    asio::post(m.io, [passed] { *passed = true; });
    const auto until = Clock::now() + timeout;
    while (!(*passed && m.backlog == 0)) {
        if (Clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void TServer::CheckIdle() {
    TImpl& m = *impl_;
    if (!m.running) {
        return;
    }
    asio::post(m.io, [&m] { m.SweepIdle(); });
}

}  // namespace share
