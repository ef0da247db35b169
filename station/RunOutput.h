// Where a run's results go: the results store (the record), the JUnit file, the delivery
// targets' wake-up, the slot's view, and whatever the line adds. Each is one RunOutput; a run
// hands every event to each output in turn, the store first.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "StationView.h"
#include "Store.h"

namespace station {

// What a run holds, as its outputs see it.
struct HeldRun {
    RunRow row;                  // id set by the store once begun; board, verdict as known
    std::vector<StepRow> steps;  // every attempt so far
};

class RunOutput {
  public:
    virtual ~RunOutput() = default;
    // Each returns false with `error` when it could not take the event. The record's failure
    // makes the run ERROR; any other output's is reported and the run goes on.
    // RunBegun may fill in the run (the store gives it its id).
    virtual bool RunBegun(HeldRun &run, std::string &error) = 0;
    virtual bool BoardKnown(const HeldRun &run, std::string &error) = 0;
    virtual bool StepEnded(const HeldRun &run, const StepRow &step, std::string &error) = 0;
    virtual bool RunEnded(const HeldRun &run, std::string &error) = 0;
    // Whose failure stops the run: only the record's.
    virtual bool IsRecord() const { return false; }
    virtual std::string Name() const = 0;
};

using RunOutputs = std::vector<std::unique_ptr<RunOutput>>;

}  // namespace station
