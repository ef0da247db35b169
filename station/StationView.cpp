#include "StationView.h"

#include <chrono>

namespace station {

const char *SlotPhaseName(SlotPhase phase) {
    switch (phase) {
        case SlotPhase::Idle:
            return "idle";
        case SlotPhase::Running:
            return "running";
        case SlotPhase::Confirm:
            return "confirm";
        case SlotPhase::Identify:
            return "identify";
        case SlotPhase::Done:
            return "done";
    }
    return "";
}

const char *VerdictName(Verdict verdict) {
    switch (verdict) {
        case Verdict::None:
            return "";
        case Verdict::Pass:
            return "PASS";
        case Verdict::Fail:
            return "FAIL";
        case Verdict::Aborted:
            return "ABORTED";
        case Verdict::Error:
            return "ERROR";
    }
    return "";
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace station
