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

void ShowEnded(SlotView &v, const RunRow &run) {
    v.phase = run.verdict == Verdict::None ? SlotPhase::Idle : SlotPhase::Done;
    v.board = run.board;
    v.variant = run.variant;
    v.verdict = run.verdict;
    v.failedStep = run.failedStep;
    v.failedReading = run.failedReading;
    v.runId = run.id;
    v.startedMs = run.startedMs;
    v.endedMs = run.endedMs;
    v.prompt.clear();
    v.promptDeadlineMs = 0;
    v.confirm.clear();
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace station
