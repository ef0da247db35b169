#include "RunOutputs.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "Outbox.h"
#include "Platform.h"
#include "RunReport.h"

namespace station {

namespace {

class StoreOutput : public RunOutput {
  public:
    explicit StoreOutput(Store &store) : store_(store) {}
    bool RunBegun(HeldRun &run, std::string &error) override {
        run.row.id = store_.BeginRun(run.row, error);
        return run.row.id != 0;
    }
    bool BoardKnown(const HeldRun &run, std::string &error) override {
        return Begun(run, error) && store_.SetBoard(run.row.id, run.row.board, NowMs(), error) &&
               Traced(run, error);
    }
    bool StepEnded(const HeldRun &run, const StepRow &step, std::string &error) override {
        return Begun(run, error) && store_.AddStep(step, error);
    }
    bool RunEnded(const HeldRun &run, std::string &error) override {
        const RunRow &r = run.row;
        return Begun(run, error) && Traced(run, error) &&
               store_.EndRun(r.id, r.verdict, r.endedMs, r.failedStep, r.failedReading, error);
    }
    bool IsRecord() const override { return true; }
    std::string Name() const override { return "results store"; }

  private:
    // What the run learnt of its board (variant, agent version, images), when anything.
    bool Traced(const HeldRun &run, std::string &error) {
        const RunRow &r = run.row;
        return (r.variant.empty() && r.agentVersion.empty() && r.images.empty()) ||
               store_.SetTrace(r, error);
    }
    static bool Begun(const HeldRun &run, std::string &error) {
        if (run.row.id != 0) return true;
        error = "the run was never stored";
        return false;
    }
    Store &store_;
};

// Written from what the run holds, whole or not at all.
class JUnitOutput : public RunOutput {
  public:
    explicit JUnitOutput(std::string folder) : folder_(std::move(folder)) {}
    bool RunBegun(HeldRun &, std::string &) override { return true; }
    bool BoardKnown(const HeldRun &, std::string &) override { return true; }
    bool StepEnded(const HeldRun &, const StepRow &, std::string &) override { return true; }
    bool RunEnded(const HeldRun &run, std::string &error) override {
        if (run.row.id == 0) return true;  // nothing stored, nothing to name the file by
        std::error_code failed;
        std::filesystem::create_directories(folder_, failed);
        const std::string path = JUnitPath(folder_, run.row);
        const std::string xml = RunJUnit(run.row, run.steps);
        if (!failed && WriteFileAtomically(path.c_str(), xml.data(), xml.size(), 0644) == 1) {
            return true;
        }
        error = path + ": " + (failed ? failed.message() : std::strerror(errno));
        return false;
    }
    std::string Name() const override { return "JUnit file"; }

  private:
    std::string folder_;
};

// The senders read the outbox the store fills: each commit is worth a look.
class WakeOutput : public RunOutput {
  public:
    explicit WakeOutput(std::vector<OutboxSender *> senders) : senders_(std::move(senders)) {}
    bool RunBegun(HeldRun &, std::string &) override { return Wake(); }
    bool BoardKnown(const HeldRun &, std::string &) override { return Wake(); }
    bool StepEnded(const HeldRun &, const StepRow &, std::string &) override { return Wake(); }
    bool RunEnded(const HeldRun &, std::string &) override { return Wake(); }
    std::string Name() const override { return "outbox"; }

  private:
    bool Wake() {
        for (OutboxSender *sender : senders_) sender->Wake();
        return true;
    }
    std::vector<OutboxSender *> senders_;
};

}  // namespace

std::string JUnitPath(const std::string &folder, const RunRow &run) {
    return folder + "/" + run.station + "-" + run.slot + "-" + std::to_string(run.id) + ".xml";
}

RunOutputs StationOutputs(const StationConfig &config, Store &store,
                          const std::vector<OutboxSender *> &senders) {
    RunOutputs outputs;
    outputs.push_back(std::make_unique<StoreOutput>(store));
    if (!config.junitDir.empty()) outputs.push_back(std::make_unique<JUnitOutput>(config.junitDir));
    if (!senders.empty()) outputs.push_back(std::make_unique<WakeOutput>(senders));
    return outputs;
}

}  // namespace station
