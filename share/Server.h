// The share server: serves one receiver to TCP clients, either in gpsd's
// JSON protocol or as a plain NMEA 0183 stream. It runs on a thread of its
// own; the publishing calls come from the receiver's thread and never wait
// on a client (they hand the data to the server's thread and return).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "share/Protocol.h"

namespace share {

enum class TServeMode {
    Gpsd,  // gpsd JSON: VERSION on connect, requests, TPV/SKY/NMEA to watchers
    Nmea   // every sentence to every client; what clients send is discarded
};

// The clock of the idle rule; a test sets its own.
using TSteadyNow = std::function<std::chrono::steady_clock::time_point()>;

struct TServerOptions {
    TServeMode Mode = TServeMode::Gpsd;
    std::string Host = "127.0.0.1";  // a numeric address or a name
    uint16_t Port = 2947;            // 0: any free port (Port() tells which)
    size_t MaxClients = 64;          // one more gets an ERROR and is closed
    size_t MaxUnsent = 256 * 1024;   // a client with more output unsent is closed
    // A client that watches nothing and sends nothing this long is closed.
    std::chrono::seconds IdleLimit{15 * 60};
    TSteadyNow Now;       // empty: std::chrono::steady_clock
    std::string Release;  // VERSION's release and rev; empty: PalmoGPS's version
};

struct TStartResult {
    bool Ok = false;
    bool AddressInUse = false;
    std::string Message;  // why not: "address in use", or the system's text
};

class TServer {
  public:
    explicit TServer(TServerOptions options);
    // Stops serving.
    ~TServer();
    TServer(const TServer&) = delete;
    TServer& operator=(const TServer&) = delete;

    // Binds the address and starts serving on the server's thread. Once.
    TStartResult Start();
    // Closes every client and the listening socket and ends the thread.
    void Stop();
    bool Running() const;

    const TServerOptions& Options() const;
    // The port bound (the one picked when Options().Port was 0).
    uint16_t Port() const;
    // Clients connected now (refused ones not counted).
    size_t Clients() const;
    // Clients that are sent reports unasked: watchers (gpsd mode), or every
    // client (NMEA mode).
    size_t Watchers() const;
    // The most output any one client has waiting: a reader of a file can
    // hold back while it is high, feeding only as fast as clients read.
    size_t Backlog() const;

    // --- Called from the receiver's thread; each returns at once. ---
    // The device's description (DEVICES, DEVICE and the TPV's "device").
    void SetDevice(const TDeviceInfo& device);
    // One epoch's fix, to JSON watchers; kept for ?POLL.
    void PublishTpv(const TTpv& tpv);
    // The sky view, to JSON watchers; kept for ?POLL.
    void PublishSky(const TSky& sky);
    // One accepted sentence as it arrived, without its line end: to NMEA
    // watchers (gpsd mode) or every client (NMEA mode), with CR LF.
    void PublishNmea(std::string_view sentence);
    // Applies the idle rule now (the server also does on its own).
    void CheckIdle();
    // Waits until what was published before the call has gone out to every
    // client (written to its socket), or timeout has passed; false then.
    bool Drain(std::chrono::milliseconds timeout);

    // Set before Start; called on the server's thread.
    std::function<void(size_t clients)> OnClientsChanged;
    std::function<void(const std::string& line)> OnLog;

  private:
    struct TImpl;
    std::unique_ptr<TImpl> impl_;
};

}  // namespace share
