// The SHM reference clock on Linux: a System V segment with ntpd's record.
#include "tools/gpscat/ShmRefClock.h"

#include "toolkit/Calendar.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace gpscat {

namespace {

// The record chrony's and ntpd's SHM drivers read.
struct TShmTime {
    int mode;  // 1: count and valid guard each sample
    volatile int count;
    time_t clockTimeStampSec;
    int clockTimeStampUSec;
    time_t receiveTimeStampSec;
    int receiveTimeStampUSec;
    int leap;
    int precision;
    int nsamples;
    volatile int valid;
    unsigned clockTimeStampNSec;
    unsigned receiveTimeStampNSec;
    int dummy[8];
};

// A day count as whole seconds since 1970 and nanoseconds, to the
// microsecond (all that a double day count holds today).
void Split(double dayCount, time_t& seconds, unsigned& ns) {
    const auto us =
        static_cast<long long>(std::llround(tk::UnixSecondsFromDayCount(dayCount) * 1e6));
    long long whole = us / 1000000;
    long long rest = us % 1000000;
    if (rest < 0) {
        rest += 1000000;
        --whole;
    }
    seconds = static_cast<time_t>(whole);
    ns = static_cast<unsigned>(rest * 1000);
}

}  // namespace

TShmRefClock::~TShmRefClock() {
    if (segment_ != nullptr) {
        shmdt(segment_);
    }
}

bool TShmRefClock::Attach(int32_t unit, std::string& error) {
    const key_t key = static_cast<key_t>(kShmKeyBase + unit);
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(key));
    const std::string name = "NTP shared memory unit " + std::to_string(unit);
    // A daemon running as root reads units 0 and 1 as its own: whoever owns
    // their segment can set the PC clock through it.
    const bool rootOnly = unit <= 1;
    if (rootOnly && geteuid() != 0) {
        error = name + " is for root only (a time daemon running as root trusts units 0 " +
                "and 1); run gpscat as root, or use unit 2 or up";
        return false;
    }
    const int id = shmget(key, sizeof(TShmTime), IPC_CREAT | (rootOnly ? 0600 : 0666));
    if (rootOnly && id >= 0) {
        shmid_ds ds{};
        if (shmctl(id, IPC_STAT, &ds) != 0) {
            const int code = errno;
            error =
                "cannot check the owner of " + name + " (key " + hex + "): " + std::strerror(code);
            return false;
        }
        if (ds.shm_perm.uid != 0 || ds.shm_perm.cuid != 0) {
            const unsigned uid = ds.shm_perm.uid != 0 ? ds.shm_perm.uid : ds.shm_perm.cuid;
            error = name + " (key " + hex + ") belongs to uid " + std::to_string(uid) +
                    ", not root, so the time it carries cannot be trusted; remove it (ipcrm -M " +
                    hex + ") and start again";
            return false;
        }
    }
    void* p = id < 0 ? reinterpret_cast<void*>(-1) : shmat(id, nullptr, 0);
    if (p == reinterpret_cast<void*>(-1)) {
        const int code = errno;
        error = "cannot attach " + name + " (key " + hex + "): " + std::strerror(code);
        return false;
    }
    segment_ = p;
    return true;
}

void TShmRefClock::Write(double clockUtc, double receiveUtc) {
    if (segment_ == nullptr) {
        return;
    }
    auto* t = static_cast<TShmTime*>(segment_);
    time_t clockSec = 0;
    unsigned clockNs = 0;
    time_t receiveSec = 0;
    unsigned receiveNs = 0;
    Split(clockUtc, clockSec, clockNs);
    Split(receiveUtc, receiveSec, receiveNs);
    // Mode 1: the reader takes a sample only when count is the same before
    // and after it and valid is set; it clears valid once it has read.
    t->mode = 1;
    t->valid = 0;
    t->count = t->count + 1;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    t->clockTimeStampSec = clockSec;
    t->clockTimeStampUSec = static_cast<int>(clockNs / 1000);
    t->clockTimeStampNSec = clockNs;
    t->receiveTimeStampSec = receiveSec;
    t->receiveTimeStampUSec = static_cast<int>(receiveNs / 1000);
    t->receiveTimeStampNSec = receiveNs;
    t->leap = 0;
    t->precision = kShmPrecision;
    t->nsamples = 3;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    t->valid = 1;
    t->count = t->count + 1;
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

}  // namespace gpscat
