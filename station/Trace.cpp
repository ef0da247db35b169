#include "Trace.h"

namespace station {

const char *StationVersion() {
    return STATION_VERSION;
}

std::string RepairRefusal(const std::string &board, const std::vector<Verdict> &verdicts,
                          int maxFailures) {
    if (maxFailures <= 0) return "";
    int failures = 0;
    for (Verdict verdict : verdicts) {
        if (verdict == Verdict::Pass) break;
        if (verdict == Verdict::Fail && ++failures == maxFailures) {
            return "board " + board + ": " + std::to_string(maxFailures) + " failure" +
                   (maxFailures == 1 ? "" : "s") + ", send to repair";
        }
    }
    return "";
}

}  // namespace station
