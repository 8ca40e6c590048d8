#include "toolkit/Sound.h"

#include <atomic>

namespace tk {

namespace {

std::atomic<TSound*> gInstalled{nullptr};

}  // namespace

TSound::~TSound() = default;

TSound& CurrentSound() {
    static TSound platform;
    TSound* installed = gInstalled.load();
    return installed ? *installed : platform;
}

TSound* InstallSound(TSound* sound) {
    return gInstalled.exchange(sound);
}

}  // namespace tk
