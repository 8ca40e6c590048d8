#include "gps/Satellites.h"

#include <array>

namespace gps {

const std::string& GnssSystemName(TGnssSystem s) {
    static const std::array<std::string, 8> names = {"GPS",    "SBAS", "GLONASS", "Galileo",
                                                     "BeiDou", "QZSS", "NavIC",   "Unknown"};
    const auto i = static_cast<size_t>(s);
    return i < names.size() ? names[i] : names.back();
}

}  // namespace gps
