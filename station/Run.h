// One run of the plan on one slot's board, in its phases: begin, identify, each step (asking the
// operator where the plan says), finish. Every event goes to the run's outputs, the store first.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FixtureLink.h"
#include "Plan.h"
#include "RunOutput.h"
#include "StationFile.h"
#include "StationView.h"

namespace station {

struct StationOptions {
    bool autoRestart = false;  // --auto: a slot starts again as soon as its board is done
    bool autoConfirm = false;  // answer every confirmation yes (a simulated line has no eyes)
    // Nobody scans either: a `serial` step gets AUTO-<station>-<slot>-<run id>, so every
    // automatic run counts as a board of its own.
    bool autoIdentify = false;
    int runsPerSlot = 0;  // with autoRestart: stop after this many runs; 0 no limit
    std::string operatorName;
    class Metrics *metrics = nullptr;  // counts each step and run for GET /metrics
};

// The slot a run belongs to, as the run sees it: its view, its operator, the station's stop.
class RunHost {
  public:
    virtual ~RunHost() = default;
    virtual void Show(const std::function<void(SlotView &)> &change) = 0;
    // The operator's answer; nullopt when the station stopped first.
    virtual std::optional<bool> AskYesNo(const std::string &question) = 0;
    virtual std::optional<std::string> AskSerial(const std::string &prompt) = 0;
    virtual bool Stopping() = 0;
};

// A variant's plan, filled in for one slot.
struct VariantPlan {
    const VariantConfig *config = nullptr;
    fixture::Plan plan;
    std::string planName, planHash;
};

struct RunSetup {
    const StationConfig &station;
    const SlotConfig &slot;
    const fixture::Plan &plan;
    const std::string &planName, &planHash;
    const StationOptions &options;
    // Set: `plan` identifies the board, and the plan of the variant its board-type reading
    // names follows (none named: the run is an ERROR).
    const std::vector<VariantPlan> *variants = nullptr;
    // Why the board, once known, is sent to repair instead of tested; empty when it may run.
    std::function<std::string(const std::string &board)> refusal;
};

// How long a reply the station's previous life asked for may still be on its way when a run
// opens its line (the rest is told apart by its command id).
constexpr int kLineSettleMs = 100;

class Run {
  public:
    Run(const RunSetup &setup, RunHost &host, const RunOutputs &outputs);
    ~Run();
    Run(const Run &) = delete;
    Run &operator=(const Run &) = delete;

    // Opens the slot's port; false with `error` when the board is not there (no run begun).
    bool Open(std::string &error);
    // The run, from begin to finish; its verdict.
    Verdict Go();
    // Why the record could not be written, empty when it was.
    const std::string &RecordError() const { return recordError_; }

  private:
    class Hook;
    class View;
    bool Begin();
    void Attempt(size_t index, int attempt);
    void StepEnded(size_t index, const fixture::StepResult &result);
    std::optional<bool> Confirm(const fixture::PlanStep &step);
    std::optional<std::string> Identify(const fixture::PlanStep &step);
    fixture::Exchange Send(const fixture::Request &request);
    fixture::Result Host(size_t index, const fixture::PlanStep &step);
    // The variant the identify section's board-type reading names; nullptr (with the reading)
    // when none does.
    const VariantPlan *Choose(const std::vector<fixture::StepResult> &results,
                              std::string &type) const;
    bool Cut();  // the run ends after this step
    void Finish(const std::vector<fixture::StepResult> &results);
    void End(Verdict verdict, const std::string &failedStep, const std::string &failedReading);
    // Hands one event to every output; a failure of the record is kept.
    void Emit(const std::function<bool(RunOutput &, std::string &)> &event);

    const RunSetup &setup_;
    RunHost &host_;
    std::unique_ptr<View> view_;
    std::vector<RunOutput *> outputs_;  // the station's, then the slot's view
    HeldRun held_;
    fixture::Link link_;
    std::unique_ptr<Hook> hook_;
    std::string recordError_, portError_;
    const fixture::Plan *plan_;  // the identify section, then the variant's plan
    size_t offset_ = 0;          // steps before plan_'s first (the identify section's)
    std::string refusal_;        // the board is sent to repair
    std::string hostOutput_;     // the last host step's, for its stored response
};

}  // namespace station
