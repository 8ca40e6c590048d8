// The triggers of a dispatcher as the port component keeps them across a
// close, without the dispatcher's own definitions.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

struct TTimerTriggerRec;
struct TDataTriggerRec;
struct TStatusTriggerRec;

// A copy of a dispatcher's triggers, kept by the port component across a close.
struct TSavedTriggers {
    uint32_t AvailThreshold = 0;
    std::unique_ptr<std::vector<TTimerTriggerRec>> Timers;
    std::unique_ptr<std::vector<TDataTriggerRec>> Data;
    std::unique_ptr<std::vector<TStatusTriggerRec>> Status;
};
