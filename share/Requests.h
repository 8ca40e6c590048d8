// gpsd client requests: assembling them from a client's bytes and reading
// their JSON arguments. No I/O here: the server hands in what it read.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "share/Protocol.h"

namespace share {

enum class TRequestKind { Version, Devices, Watch, Poll, Device, Unknown };

struct TRequest {
    TRequestKind Kind = TRequestKind::Unknown;
    std::string Text;          // the request as received, without its terminator
    bool HasArgument = false;  // "=" followed: ?WATCH={...}, ?DEVICE={...}
    std::string Argument;      // the text after "=" (a JSON object when well formed)
};

// Splits a client's byte stream into requests. A request starts with "?" and
// ends with ";", with a JSON object after "=", or with a line end; several
// may come in one read and one may be split over reads. Whitespace and
// stray ";" between requests are skipped; any other text up to the next ";"
// or line end is a request of its own (Unknown).
class TRequestParser {
  public:
    // Longest request kept: a client that sends more without ending it is
    // cut off.
    static constexpr size_t kMaxRequest = 8192;

    explicit TRequestParser(size_t maxRequest = kMaxRequest) : maxRequest_(maxRequest) {}

    // Appends the requests that bytes complete to out. False once a request
    // has grown past the longest kept; the parser then takes nothing more.
    bool Feed(std::string_view bytes, std::vector<TRequest>& out);
    // The bytes of an unfinished request held now.
    size_t Pending() const { return text_.size(); }
    bool Overflowed() const { return overflowed_; }

  private:
    void Finish(std::vector<TRequest>& out);

    size_t maxRequest_;
    std::string text_;
    bool inToken_ = false;
    int depth_ = 0;  // nesting inside the JSON argument; 0 outside it
    bool inString_ = false;
    bool escaped_ = false;
    bool overflowed_ = false;
};

// Classifies one request's text (as the parser hands it out).
TRequest ClassifyRequest(std::string text);

// Applies a ?WATCH argument to a client's settings. False with a reason when
// it is not a JSON object or a known member has the wrong type (the
// settings are then unchanged). Enabling with neither json, nmea nor raw set
// turns json on, as gpsd does.
bool ApplyWatch(std::string_view argument, TWatch& watch, std::string& error);

// Whether a ?DEVICE argument only names the device served (a client may
// read the device, not configure it). False with the reason otherwise.
bool DeviceQueryOnly(std::string_view argument, const TDeviceInfo& device, std::string& error);

// A request's text fit to quote in an error message: printable ASCII only
// (other bytes as \xNN), at most 80 characters.
std::string QuotedRequest(std::string_view text);

}  // namespace share
