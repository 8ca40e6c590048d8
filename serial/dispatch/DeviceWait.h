// The reader thread's record for its device waits. A device layer derives its
// own (an overlapped record and event on Win32); the base dispatcher hands a
// plain one to layers that keep their wait state elsewhere.
#pragma once

struct TDeviceWaitRecord {
    virtual ~TDeviceWaitRecord() = default;
};
