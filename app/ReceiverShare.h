// The window's receiver shared with other programs: a gpsd-protocol server
// on this machine's loopback, fed from the receiver's decoder, its client
// count brought to the main thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "gps/GPS.h"
#include "share/Feed.h"
#include "share/Server.h"
#include "toolkit/Messages.h"

class TReceiverShare {
  public:
    // gpsd's own port, where gpsd clients look first.
    static constexpr uint16_t kDefaultPort = 2947;

    // Made and used on the main thread; the receiver must outlive it.
    explicit TReceiverShare(gps::TGPS& receiver);
    ~TReceiverShare();
    TReceiverShare(const TReceiverShare&) = delete;
    TReceiverShare& operator=(const TReceiverShare&) = delete;

    // Serves on 127.0.0.1:port (0: a free port). False with the reason
    // ("address in use (is gpsd running?)") when the address cannot be served.
    bool Start(uint16_t port, std::string& error);
    void Stop();
    bool Active() const { return server_ != nullptr; }
    // The port served (0 while stopped).
    uint16_t Port() const;
    // Clients connected, as last told on the main thread.
    size_t Clients() const { return clients_; }
    // Describes the receiver's port to the clients as it is now (after it
    // opened, or took another number or baud rate).
    void UpdateDevice();

    // On the main thread when sharing starts or stops and when the number
    // of clients changes.
    std::function<void(TReceiverShare&)> OnChange;

  private:
    gps::TGPS& receiver_;
    share::TShareFeed feed_;
    std::unique_ptr<share::TServer> server_;
    tk::TWindowHandle window_ = 0;
    size_t clients_ = 0;
};

// "Shared: 2 clients" (or "1 client").
std::string SharedStatusText(size_t clients);
