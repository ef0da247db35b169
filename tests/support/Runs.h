// Runs begun straight in a store, as store and message tests need them.
#pragma once

#include <cstdint>
#include <string>

#include "StationView.h"

namespace support {

// A run as a station would begin it: its names, plan and start, nothing traced yet.
inline station::RunRow NewRun(const std::string &station, const std::string &slot,
                              const std::string &plan, const std::string &planHash,
                              const std::string &operatorName, int64_t startedMs) {
    station::RunRow run;
    run.station = station;
    run.slot = slot;
    run.plan = plan;
    run.planHash = planHash;
    run.operatorName = operatorName;
    run.startedMs = startedMs;
    return run;
}

}  // namespace support
