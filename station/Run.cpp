#include "Run.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "HostStep.h"
#include "Trace.h"

namespace station {

namespace {

std::string Limits(const fixture::PlanStep &step) {
    std::ostringstream out;
    const auto &e = step.expectation;
    if (e.expect) out << "expect=" << *e.expect;
    if (e.min) out << (out.tellp() > 0 ? " " : "") << "min=" << *e.min;
    if (e.max) out << (out.tellp() > 0 ? " " : "") << "max=" << *e.max;
    return out.str();
}

constexpr int kHookGraceMs = 2000;  // a hook's group gets SIGTERM, then SIGKILL after this

}  // namespace

// The simulated operator of a prompted step, in a process group of its own so that it and
// whatever it starts end with the step; and with the station's slot thread, however the
// station ends (the thread that spawns it lives as long as the station).
class Run::Hook {
  public:
    Hook(const std::vector<std::string> &argv, const std::string &folder) {
        if (argv.empty()) return;
        std::vector<char *> args;
        for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        const pid_t parent = getpid();
        pid_ = fork();
        if (pid_ == 0) {
            // Only async-signal-safe calls until exec.
            setpgid(0, 0);
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(127);
            const int null = open("/dev/null", O_WRONLY);
            if (null >= 0) dup2(null, 1), dup2(null, 2);
            if (!folder.empty() && chdir(folder.c_str()) != 0) _exit(127);
            execvp(args[0], args.data());
            _exit(127);
        }
        if (pid_ > 0) setpgid(pid_, pid_);  // so the kill below finds the group either way
    }
    ~Hook() {
        if (pid_ <= 0) return;
        // Not reaped yet, so the group's id cannot have been reused.
        kill(-pid_, SIGTERM);
        for (int waited = 0; waited < kHookGraceMs; waited += 10) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
            usleep(10000);
        }
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    Hook(const Hook &) = delete;
    Hook &operator=(const Hook &) = delete;

  private:
    pid_t pid_ = -1;
};

// The slot's view: the last output, so it shows what the record made of the run.
class Run::View : public RunOutput {
  public:
    explicit View(RunHost &host) : host_(host) {}
    bool RunBegun(HeldRun &run, std::string &) override {
        host_.Show([&](SlotView &v) {
            SlotView fresh;
            fresh.name = v.name;
            fresh.port = v.port;
            fresh.steps = v.steps;
            v = std::move(fresh);
            v.phase = SlotPhase::Running;
            v.runId = run.row.id;
            v.startedMs = run.row.startedMs;
        });
        return true;
    }
    bool BoardKnown(const HeldRun &run, std::string &) override {
        host_.Show([&](SlotView &v) {
            v.board = run.row.board;
            v.variant = run.row.variant;
        });
        return true;
    }
    bool StepEnded(const HeldRun &, const StepRow &, std::string &) override { return true; }
    bool RunEnded(const HeldRun &run, std::string &) override {
        host_.Show([&](SlotView &v) { ShowEnded(v, run.row); });
        return true;
    }
    std::string Name() const override { return "slot view"; }

  private:
    RunHost &host_;
};

Run::Run(const RunSetup &setup, RunHost &host, const RunOutputs &outputs)
    : setup_(setup), host_(host), view_(std::make_unique<View>(host)), plan_(&setup.plan) {
    for (const auto &output : outputs) outputs_.push_back(output.get());
    outputs_.push_back(view_.get());
}

Run::~Run() = default;

bool Run::Open(std::string &error) {
    return link_.OpenDevice(setup_.slot.port, error);
}

Verdict Run::Go() {
    if (!Begin()) {
        End(Verdict::Error, "", "results not saved: " + recordError_);
        return held_.row.verdict;
    }
    link_.Settle(kLineSettleMs);
    fixture::RunOptions run;
    run.onAttempt = [this](size_t i, int attempt) { Attempt(i, attempt); };
    run.onResult = [this](size_t i, const fixture::StepResult &r) { StepEnded(i, r); };
    run.confirm = [this](size_t, const fixture::PlanStep &step) { return Confirm(step); };
    run.identify = [this](size_t, const fixture::PlanStep &step) { return Identify(step); };
    run.stop = [this] { return Cut(); };
    run.host = [this](size_t i, const fixture::PlanStep &step) { return Host(i, step); };
    const auto send = [this](const fixture::Request &request) { return Send(request); };
    std::vector<fixture::StepResult> results = fixture::RunPlan(setup_.plan, send, run);
    if (setup_.variants != nullptr && !Cut() && !fixture::Stopped(results) &&
        fixture::OverallOutcome(results) == fixture::Outcome::Pass) {
        std::string type;
        const VariantPlan *variant = Choose(results, type);
        if (variant == nullptr) {
            // The line has no plan for it: not the board's fail.
            hook_.reset();
            End(Verdict::Error, "board-type", "no plan for board type " + type);
            return held_.row.verdict;
        }
        offset_ = setup_.plan.steps.size();
        plan_ = &variant->plan;
        held_.row.variant = variant->config->name;
        held_.row.plan = setup_.planName + "+" + variant->planName;
        held_.row.planHash = setup_.planHash + "+" + variant->planHash;
        host_.Show([&](SlotView &v) { v.steps = static_cast<int>(offset_ + plan_->steps.size()); });
        Emit([this](RunOutput &o, std::string &e) { return o.BoardKnown(held_, e); });
        std::vector<fixture::StepResult> more = fixture::RunPlan(*plan_, send, run);
        results.insert(results.end(), more.begin(), more.end());
    }
    Finish(results);
    return held_.row.verdict;
}

const VariantPlan *Run::Choose(const std::vector<fixture::StepResult> &results,
                               std::string &type) const {
    for (const fixture::StepResult &r : results) {
        const fixture::CommandDef *def = r.step->request.def;
        if (r.ran && def != nullptr && def->decode == fixture::Decode::BoardType) {
            type = r.result.value;
        }
    }
    const VariantConfig *config = FindVariant(setup_.station, type);
    for (const VariantPlan &variant : *setup_.variants) {
        if (variant.config == config) return &variant;
    }
    return nullptr;
}

fixture::Result Run::Host(size_t index, const fixture::PlanStep &step) {
    const std::string folder = std::filesystem::path(setup_.station.path).parent_path().string();
    // A program may echo its arguments, a secret among them.
    const HostRun ran = RunHostCommand(
        {step.host, step.request.timeoutMs, folder, step.expectation.expect, plan_->secrets});
    hostOutput_ = ran.output;
    fixture::Result result = StepResultOf(ran);
    if (step.image.empty()) return result;
    const int number = static_cast<int>(offset_ + index) + 1;
    std::erase_if(held_.row.images, [&](const ImageRecord &i) { return i.step == number; });
    ImageDigest digest;
    std::string error;
    const std::filesystem::path path(step.image);
    if (!DigestFile(path.is_absolute() ? step.image : (folder / path).string(), digest, error)) {
        result.outcome = fixture::Outcome::Error;
        result.error = result.summary = result.reading = "image: " + error;
        return result;
    }
    held_.row.images.push_back({number, step.image, digest.sha256, digest.size});
    return result;
}

bool Run::Begin() {
    RunRow &row = held_.row;
    row.station = setup_.station.name;
    row.slot = setup_.slot.name;
    row.plan = setup_.planName;
    row.planHash = setup_.planHash;
    row.operatorName = setup_.options.operatorName;
    row.startedMs = NowMs();
    row.stationVersion = StationVersion();
    row.port = setup_.slot.port;
    Emit([this](RunOutput &o, std::string &e) { return o.RunBegun(held_, e); });
    return recordError_.empty();
}

void Run::Attempt(size_t index, int attempt) {
    const fixture::PlanStep &step = plan_->steps[index];
    hook_.reset();
    // A serial step's question is asked in phase Identify, with no clock and no hook.
    const bool prompted = !step.prompt.empty() && !step.serial;
    host_.Show([&](SlotView &v) {
        v.step = static_cast<int>(offset_ + index) + 1;
        v.stepName = step.text;
        v.attempt = attempt;
        v.prompt = prompted ? step.prompt : "";
        // The board's own window, where it has one; else no clock at all.
        const int windowMs = step.request.def == nullptr ? 0 : step.request.def->windowMs;
        v.promptDeadlineMs = prompted && windowMs > 0 ? NowMs() + windowMs : 0;
    });
    if (prompted) {
        hook_ = std::make_unique<Hook>(setup_.slot.onPrompt,
                                       std::filesystem::path(setup_.station.path).parent_path());
    }
}

void Run::StepEnded(size_t index, const fixture::StepResult &r) {
    hook_.reset();
    const fixture::PlanStep &step = plan_->steps[index];
    const bool pass = r.result.outcome == fixture::Outcome::Pass;
    // A host step's response is the end of its program's output.
    // The plan run masked the result's texts; the limits come from the plan as filled in.
    held_.steps.push_back({held_.row.id, static_cast<int>(offset_ + index) + 1, r.attempt,
                           step.text, pass ? r.result.reading : r.result.summary,
                           fixture::MaskValues(Limits(step), plan_->secrets),
                           fixture::OutcomeName(r.result.outcome), r.seconds,
                           fixture::RequestHex(step.request),
                           step.host.empty() ? r.responseHex : hostOutput_});
    const fixture::CommandDef *def = step.request.def;
    if (pass && def != nullptr && def->decode == fixture::Decode::Version) {
        held_.row.agentVersion = r.result.value;
    }
    Emit(
        [this](RunOutput &o, std::string &e) { return o.StepEnded(held_, held_.steps.back(), e); });
    if (plan_ == &setup_.plan && static_cast<int>(index) == fixture::IdentityStep(setup_.plan) &&
        !r.result.value.empty()) {
        held_.row.board = r.result.value;
        if (setup_.refusal) refusal_ = setup_.refusal(held_.row.board);
        Emit([this](RunOutput &o, std::string &e) { return o.BoardKnown(held_, e); });
    }
}

std::optional<bool> Run::Confirm(const fixture::PlanStep &step) {
    if (setup_.options.autoConfirm) return true;
    return host_.AskYesNo(step.confirm);
}

std::optional<std::string> Run::Identify(const fixture::PlanStep &step) {
    if (setup_.options.autoIdentify) {
        return "AUTO-" + setup_.station.name + "-" + setup_.slot.name + "-" +
               std::to_string(held_.row.id);
    }
    return host_.AskSerial(step.prompt);
}

fixture::Exchange Run::Send(const fixture::Request &request) {
    // A raw frame's answer may carry any command id.
    const bool raw = request.def == nullptr || request.def->decode == fixture::Decode::Raw;
    fixture::Exchange exchange = link_.Transact(request.frame, request.timeoutMs, 1, !raw);
    if (link_.Lost()) portError_ = link_.LostReason();
    return exchange;
}

bool Run::Cut() {
    return host_.Stopping() || !recordError_.empty() || !portError_.empty() || !refusal_.empty();
}

void Run::Finish(const std::vector<fixture::StepResult> &results) {
    hook_.reset();
    if (!recordError_.empty()) return End(Verdict::Error, "", "results not saved: " + recordError_);
    // Clean-up steps are stored like any other, but never decide the run.
    std::vector<const fixture::StepResult *> deciding;
    for (const fixture::StepResult &r : results) {
        if (!r.step->cleanup) deciding.push_back(&r);
    }
    const auto failed = std::find_if(deciding.begin(), deciding.end(), [](const auto *r) {
        return r->ran && r->result.outcome != fixture::Outcome::Pass;
    });
    // The fixture's fault, not the board's.
    if (!portError_.empty()) {
        return End(Verdict::Error, failed != deciding.end() ? (*failed)->step->text : "",
                   portError_);
    }
    if (!refusal_.empty()) {
        return End(Verdict::Fail, setup_.plan.steps[fixture::IdentityStep(setup_.plan)].text,
                   refusal_);
    }
    // A stop, in whatever step or question, leaves the board unjudged.
    const bool stopped = host_.Stopping();
    for (const fixture::StepResult *r : deciding) {
        if (stopped && (!r->ran || r->stopped || r->unanswered)) {
            return End(Verdict::Aborted, "", "the station stopped");
        }
        if (r->ran && r->result.outcome != fixture::Outcome::Pass) {
            return End(Verdict::Fail, r->step->text, r->result.summary);
        }
    }
    End(Verdict::Pass, "", "");
}

void Run::End(Verdict verdict, const std::string &failedStep, const std::string &failedReading) {
    held_.row.verdict = verdict;
    held_.row.endedMs = NowMs();
    held_.row.failedStep = failedStep;
    held_.row.failedReading = failedReading;
    Emit([this](RunOutput &o, std::string &e) { return o.RunEnded(held_, e); });
}

void Run::Emit(const std::function<bool(RunOutput &, std::string &)> &event) {
    for (RunOutput *output : outputs_) {
        std::string error;
        if (event(*output, error)) continue;
        if (!output->IsRecord()) {
            host_.Show([&](SlotView &v) { v.note = output->Name() + ": " + error; });
            continue;
        }
        if (recordError_.empty()) recordError_ = error.empty() ? "unknown error" : error;
        // The verdict the others are about to see must not claim a record that is not there.
        if (held_.row.endedMs != 0 && held_.row.verdict != Verdict::Error) {
            held_.row.verdict = Verdict::Error;
            held_.row.failedReading = "results not saved: " + recordError_;
        }
    }
}

}  // namespace station
