#include "app/ReceiverShare.h"

#include <cstdio>

#include "serial/Arrival.h"
#include "share/PortName.h"

namespace {

// Posted by the server's thread when its client count changed.
constexpr uint32_t kMsgClientsChanged = tk::kMsgUser + 0x201;

}  // namespace

std::string SharedStatusText(size_t clients) {
    return "Shared: " + std::to_string(clients) + (clients == 1 ? " client" : " clients");
}

TReceiverShare::TReceiverShare(gps::TGPS& receiver) : receiver_(receiver) {
    window_ = tk::CreateNotifyWindow(
        "PalmoShareNotify", [this](tk::TWindowHandle, uint32_t msg, tk::TWParam, tk::TLParam) {
            if (msg == kMsgClientsChanged && server_ && clients_ != server_->Clients()) {
                clients_ = server_->Clients();
                if (OnChange) {
                    OnChange(*this);
                }
            }
            return tk::TLResult{0};
        });
}

TReceiverShare::~TReceiverShare() {
    OnChange = nullptr;
    Stop();
    if (window_ != 0) {
        tk::DestroyNotifyWindow(window_);
    }
}

bool TReceiverShare::Start(uint16_t port, std::string& error) {
    if (server_) {
        return true;
    }
    share::TServerOptions o;
    o.Host = "127.0.0.1";
    o.Port = port;
    auto server = std::make_unique<share::TServer>(o);
    // The server's thread only posts: the main thread may be waiting for it
    // to stop.
    const tk::TWindowHandle window = window_;
    server->OnClientsChanged = [window](size_t) {
        tk::PostToWindow(window, kMsgClientsChanged, 0, 0);
    };
    server->OnLog = [](const std::string& line) {
        std::fprintf(stderr, "PalmoGPS: %s\n", line.c_str());
    };
    const share::TStartResult r = server->Start();
    if (!r.Ok) {
        error = r.Message + (r.AddressInUse ? " (is gpsd running?)" : "");
        return false;
    }
    server_ = std::move(server);
    clients_ = 0;
    feed_.AddServer(server_.get());
    UpdateDevice();
    receiver_.Decoder().AddListener(&feed_);
    if (OnChange) {
        OnChange(*this);
    }
    return true;
}

void TReceiverShare::Stop() {
    if (!server_) {
        return;
    }
    receiver_.Decoder().RemoveListener(&feed_);
    feed_.RemoveServer(server_.get());
    server_->Stop();
    server_.reset();
    clients_ = 0;
    if (OnChange) {
        OnChange(*this);
    }
}

uint16_t TReceiverShare::Port() const {
    return server_ ? server_->Port() : 0;
}

void TReceiverShare::UpdateDevice() {
    share::TDeviceInfo device;
    device.Path = share::SharedPortName(receiver_.ComNumber());
    device.Bps = receiver_.ComBaud();
    if (receiver_.ComOpen()) {
        device.Activated = TArrivalTime::Now().Utc;
    }
    feed_.SetDevice(device);
}
