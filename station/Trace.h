// What tested a board, kept with each of its runs so that its history can name it: the
// station's build, the plan (its hash), the variant, the agent's version, the fixture port, the
// operator, and every image a host step programmed into it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "StationView.h"

namespace station {

// The station program's version, fixed when it was built (git describe of its sources).
const char *StationVersion();

struct ImageRecord {
    int step = 0;  // the plan step that programmed it, 1-based
    std::string path, sha256;
    uint64_t size = 0;
};

// A repair recorded for a board: its failures before it no longer count against it.
struct RepairRow {
    int64_t id = 0;
    std::string board;
    int64_t atMs = 0;
    std::string note, operatorName;
};

// Why a board is sent to repair instead of being tested again, empty when it may run. `verdicts`
// are its finished runs since its last repair, newest first; only passes and fails count (an
// ERROR or ABORTED run says nothing about the board). `maxFailures` 0: never refused.
std::string RepairRefusal(const std::string &board, const std::vector<Verdict> &verdicts,
                          int maxFailures);

}  // namespace station
