// gpscat's sharing: the share servers that --serve and --serve-nmea ask
// for, fed from the decoder, with their log lines passed to standard error
// from gpscat's own thread.
#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>

#include "share/Feed.h"
#include "share/Server.h"
#include "tools/gpscat/GpsCat.h"

namespace gpscat {

class TSharing {
  public:
    TSharing() = default;
    ~TSharing();
    TSharing(const TSharing&) = delete;
    TSharing& operator=(const TSharing&) = delete;

    // Starts the servers the options ask for and tells where each serves.
    // False, with the reason written to err, when an address cannot be served.
    bool Start(const TOptions& options, std::ostream& err);
    bool Active() const { return json_ != nullptr || nmea_ != nullptr; }

    // Feeds the servers from this decoder's reports until Detach.
    void Attach(gps::TNmeaDecoder& decoder);
    void Detach();
    void SetDevice(const share::TDeviceInfo& device) { feed_.SetDevice(device); }

    // Clients that are sent reports unasked, and the most output one of
    // them has waiting (0 without servers).
    size_t Watchers() const;
    size_t Backlog() const;

    // Waits (at most timeout) until what was published has gone out to the
    // clients.
    void Drain(std::chrono::milliseconds timeout);
    // Writes the servers' log lines gathered since the last call.
    void WriteLog(std::ostream& err);
    // Stops the servers (closing every client).
    void Stop();

  private:
    std::unique_ptr<share::TServer> StartOne(share::TServeMode mode, const TServeAddress& address,
                                             std::ostream& err);

    share::TShareFeed feed_;
    gps::TNmeaDecoder* decoder_ = nullptr;
    std::unique_ptr<share::TServer> json_;
    std::unique_ptr<share::TServer> nmea_;
    std::mutex logLock_;
    std::deque<std::string> log_;
};

}  // namespace gpscat
