// What a run records of what tested its board, and when a board is sent to repair.
#pragma once

#include <string>
#include <vector>

#include "StationView.h"

namespace station {

// The station program's version, fixed when it was built (git describe of its sources).
const char *StationVersion();

// Why a board is sent to repair instead of being tested again, empty when it may run. `verdicts`
// are its finished runs since its last repair, newest first; only passes and fails count (an
// ERROR or ABORTED run says nothing about the board). `maxFailures` 0: never refused.
std::string RepairRefusal(const std::string &board, const std::vector<Verdict> &verdicts,
                          int maxFailures);

}  // namespace station
