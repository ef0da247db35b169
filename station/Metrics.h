// The station's figures in the Prometheus text format, for the factory's dashboards: runs by
// verdict and slot, step durations, each target's backlog, each slot's phase, uptime. Counters
// start at zero with the station, as Prometheus expects of a process.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "RunOutput.h"
#include "StationView.h"

namespace station {

class Metrics {
  public:
    explicit Metrics(int64_t startedMs) : startedMs_(startedMs) {}

    void RunEnded(const std::string &slot, Verdict verdict);
    void StepEnded(const std::string &step, double seconds);  // the step as the plan writes it

    // The whole page at `nowMs`; the slots and outboxes are the caller's snapshots.
    std::string Format(const std::vector<SlotView> &slots,
                       const std::vector<OutboxStatus> &outboxes, int64_t nowMs) const;

    // Upper bounds of the step-duration buckets, in seconds (+Inf follows).
    static constexpr std::array<double, 11> kBuckets = {0.05, 0.1, 0.25, 0.5, 1,  2.5,
                                                        5,    10,  30,   60,  120};

  private:
    struct Histogram {
        std::array<uint64_t, kBuckets.size()> buckets{};  // cumulative, as exposed
        uint64_t count = 0;
        double sum = 0;
    };

    const int64_t startedMs_;
    mutable std::mutex mutex_;  // a leaf: nothing else is locked while it is held
    std::map<std::pair<std::string, std::string>, uint64_t> runs_;  // (slot, verdict)
    std::map<std::string, Histogram> steps_;
};

// The runs' output to the metrics: each step and run counted as it ends.
class MetricsOutput : public RunOutput {
  public:
    explicit MetricsOutput(Metrics &metrics) : metrics_(metrics) {}
    bool RunBegun(HeldRun &, std::string &) override { return true; }
    bool BoardKnown(const HeldRun &, std::string &) override { return true; }
    bool StepEnded(const HeldRun &, const StepRow &step, std::string &) override {
        metrics_.StepEnded(step.command, step.seconds);
        return true;
    }
    bool RunEnded(const HeldRun &run, std::string &) override {
        metrics_.RunEnded(run.row.slot, run.row.verdict);
        return true;
    }
    std::string Name() const override { return "metrics"; }

  private:
    Metrics &metrics_;
};

}  // namespace station
