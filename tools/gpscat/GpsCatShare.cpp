#include "tools/gpscat/GpsCatShare.h"

#include <algorithm>

namespace gpscat {

namespace {

// Log lines kept for the next write at most; a flood of connections
// cannot grow them without bound between two writes.
constexpr size_t kMaxLogLines = 1000;

std::string AddressText(const std::string& host, uint16_t port) {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace

TSharing::~TSharing() {
    Detach();
    Stop();
}

std::unique_ptr<share::TServer> TSharing::StartOne(share::TServeMode mode,
                                                   const TServeAddress& address,
                                                   std::ostream& err) {
    share::TServerOptions o;
    o.Mode = mode;
    o.Host = address.host;
    o.Port = address.port;
    auto server = std::make_unique<share::TServer>(o);
    server->OnLog = [this](const std::string& line) {
        std::lock_guard lock(logLock_);
        if (log_.size() < kMaxLogLines) {
            log_.push_back(line);
        }
    };
    const share::TStartResult r = server->Start();
    if (!r.Ok) {
        err << "gpscat: cannot serve on " << AddressText(address.host, address.port) << ": "
            << r.Message
            << (r.AddressInUse && mode == share::TServeMode::Gpsd ? " (is gpsd running?)" : "")
            << '\n';
        return nullptr;
    }
    err << "gpscat: serving " << (mode == share::TServeMode::Gpsd ? "gpsd JSON" : "NMEA") << " on "
        << AddressText(address.host, server->Port()) << '\n';
    return server;
}

bool TSharing::Start(const TOptions& options, std::ostream& err) {
    if (options.serve.enabled) {
        json_ = StartOne(share::TServeMode::Gpsd, options.serve, err);
        if (!json_) {
            return false;
        }
        feed_.AddServer(json_.get());
    }
    if (options.serveNmea.enabled) {
        nmea_ = StartOne(share::TServeMode::Nmea, options.serveNmea, err);
        if (!nmea_) {
            Stop();
            return false;
        }
        feed_.AddServer(nmea_.get());
    }
    err.flush();
    return true;
}

void TSharing::Attach(gps::TNmeaDecoder& decoder) {
    Detach();
    decoder_ = &decoder;
    decoder.AddListener(&feed_);
}

void TSharing::Detach() {
    if (decoder_ != nullptr) {
        decoder_->RemoveListener(&feed_);
        decoder_ = nullptr;
    }
}

size_t TSharing::Watchers() const {
    return (json_ ? json_->Watchers() : 0) + (nmea_ ? nmea_->Watchers() : 0);
}

size_t TSharing::Backlog() const {
    return std::max(json_ ? json_->Backlog() : 0, nmea_ ? nmea_->Backlog() : 0);
}

void TSharing::Drain(std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    for (share::TServer* s : {json_.get(), nmea_.get()}) {
        if (s != nullptr) {
            s->Drain(std::max(std::chrono::milliseconds(0),
                              std::chrono::duration_cast<std::chrono::milliseconds>(
                                  until - std::chrono::steady_clock::now())));
        }
    }
}

void TSharing::WriteLog(std::ostream& err) {
    std::deque<std::string> lines;
    {
        std::lock_guard lock(logLock_);
        lines.swap(log_);
    }
    for (const std::string& l : lines) {
        err << "gpscat: " << l << '\n';
    }
    if (!lines.empty()) {
        err.flush();
    }
}

void TSharing::Stop() {
    for (std::unique_ptr<share::TServer>* s : {&json_, &nmea_}) {
        if (*s) {
            feed_.RemoveServer(s->get());
            (*s)->Stop();
            s->reset();
        }
    }
}

}  // namespace gpscat
