// Arbitrary client bytes through the share server's request parser, whole
// and cut into arbitrary reads: the same requests either way, none longer
// than the limit, each kind with its name, and every answer built from them
// (WATCH and DEVICE arguments, the quoted error) one valid JSON line.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "fuzz/FuzzCommon.h"
#include "share/Protocol.h"
#include "share/Requests.h"

using fuzz::Check;

namespace {

// One object line: CR LF at its end only, "class" first.
void CheckLine(const std::string& line, const char* cls) {
    Check(line.size() > 2 && line.compare(line.size() - 2, 2, "\r\n") == 0);
    Check(line.find_first_of("\r\n") == line.size() - 2);
    const nlohmann::ordered_json j =
        nlohmann::ordered_json::parse(line.begin(), line.end() - 2, nullptr, false);
    Check(!j.is_discarded() && j.is_object() && !j.empty());
    Check(j.begin().key() == "class" && j.begin().value() == cls);
}

const char* NameOf(share::TRequestKind k) {
    switch (k) {
        case share::TRequestKind::Version:
            return "?VERSION";
        case share::TRequestKind::Devices:
            return "?DEVICES";
        case share::TRequestKind::Watch:
            return "?WATCH";
        case share::TRequestKind::Poll:
            return "?POLL";
        case share::TRequestKind::Device:
            return "?DEVICE";
        default:
            return nullptr;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first byte seeds the cuts; the rest is what the client sent.
    if (size == 0) {
        return 0;
    }
    uint32_t seed = data[0] * 2654435761u + 1;
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    // Half the runs with a short request limit, so that inputs of a few
    // bytes reach the cut-off as a long request reaches the real one.
    const size_t limit = (data[0] & 1) != 0 ? 24 : share::TRequestParser::kMaxRequest;

    share::TRequestParser whole(limit);
    std::vector<share::TRequest> all;
    const bool wholeOk = whole.Feed(bytes, all);
    Check(wholeOk == !whole.Overflowed());
    Check(whole.Pending() <= limit);

    share::TRequestParser cut(limit);
    std::vector<share::TRequest> pieces;
    bool cutOk = true;
    for (size_t at = 0; at < bytes.size();) {
        seed = seed * 1103515245u + 12345u;
        const size_t n = 1 + (seed >> 16) % 64;
        cutOk = cut.Feed(bytes.substr(at, n), pieces) && cutOk;
        at += n;
    }
    Check(cutOk == wholeOk && cut.Pending() == whole.Pending());
    Check(pieces.size() == all.size());

    share::TDeviceInfo device;
    device.Path = "/dev/ttyUSB0";
    share::TWatch watch;
    // The answers are built and parsed for the first few requests only:
    // JSON work dominates the run time, and the parser's properties are
    // checked on every request.
    int answers = 0;
    for (size_t i = 0; i < all.size(); ++i) {
        const share::TRequest& r = all[i];
        Check(r.Text == pieces[i].Text && r.Kind == pieces[i].Kind);
        Check(!r.Text.empty() && r.Text.size() <= limit);
        Check(r.Text[0] != ' ' && r.Text[0] != '\t' && r.Text[0] != ';' && r.Text[0] != '\r' &&
              r.Text[0] != '\n');
        Check(share::ClassifyRequest(r.Text).Kind == r.Kind);
        if (const char* name = NameOf(r.Kind)) {
            Check(r.Text.rfind(name, 0) == 0);
        }
        Check(!r.HasArgument || r.Kind == share::TRequestKind::Watch ||
              r.Kind == share::TRequestKind::Device);
        if (++answers > 4) {
            continue;
        }
        std::string error;
        if (r.Kind == share::TRequestKind::Watch && r.HasArgument) {
            const share::TWatch before = watch;
            if (share::ApplyWatch(r.Argument, watch, error)) {
                Check(!watch.Enable || watch.Json || watch.Nmea || watch.Raw > 0);
                Check(watch.Raw >= 0 && watch.Raw <= 2);
                CheckLine(share::WatchLine(watch), "WATCH");
            } else {
                Check(watch == before && !error.empty());
                CheckLine(share::ErrorLine(error), "ERROR");
            }
        }
        if (r.Kind == share::TRequestKind::Device && r.HasArgument &&
            !share::DeviceQueryOnly(r.Argument, device, error)) {
            Check(!error.empty());
            CheckLine(share::ErrorLine(error), "ERROR");
        }
        if (r.Kind == share::TRequestKind::Unknown) {
            const std::string quoted = share::QuotedRequest(r.Text);
            Check(quoted.size() <= 83 * 4);
            CheckLine(share::ErrorLine("Unrecognized request '" + quoted + "'"), "ERROR");
        }
    }
    return 0;
}
