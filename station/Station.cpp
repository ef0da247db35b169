#include "Station.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "FixtureLink.h"
#include "Postgres.h"
#include "RunReport.h"

extern char **environ;

namespace station {

std::string PlanHash(const std::string &text) {
    // FNV-1a, 64 bits: names a plan's content, not a guard against forgery.
    uint64_t hash = 14695981039346656037ULL;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ULL;
    }
    char out[17];
    snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(hash));
    return out;
}

bool CheckSerial(const std::string &typed, std::string &serial, std::string &error) {
    const size_t a = typed.find_first_not_of(" \t\r\n");
    const size_t b = typed.find_last_not_of(" \t\r\n");
    serial = a == std::string::npos ? "" : typed.substr(a, b - a + 1);
    const bool printable =
        std::all_of(serial.begin(), serial.end(), [](char c) { return c >= 0x20 && c <= 0x7e; });
    if (serial.empty() || serial.size() > 64 || !printable) {
        error = serial.empty()       ? "no serial number given"
                : serial.size() > 64 ? "a serial number has at most 64 characters, not " +
                                           std::to_string(serial.size())
                                     : "a serial number holds printable characters only";
        serial.clear();
        return false;
    }
    return true;
}

namespace {

std::string Limits(const fixture::PlanStep &step) {
    std::ostringstream out;
    const auto &e = step.expectation;
    if (e.expect) out << "expect=" << *e.expect;
    if (e.min) out << (out.tellp() > 0 ? " " : "") << "min=" << *e.min;
    if (e.max) out << (out.tellp() > 0 ? " " : "") << "max=" << *e.max;
    return out.str();
}

// The simulated operator of a prompted step; ended (by its id) when the step is over.
class PromptHook {
  public:
    PromptHook(const std::vector<std::string> &argv, const std::string &folder) {
        if (argv.empty()) return;
        std::vector<char *> args;
        for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
        if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~PromptHook() {
        if (pid_ <= 0) return;
        if (waitpid(pid_, nullptr, WNOHANG) == 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    PromptHook(const PromptHook &) = delete;
    PromptHook &operator=(const PromptHook &) = delete;

  private:
    pid_t pid_ = -1;
};

}  // namespace

Station::Station(const StationConfig &config, Store &store, const StationOptions &options)
    : config_(config), store_(store), options_(options) {}

std::unique_ptr<Station> Station::Create(const StationConfig &config, Store &store,
                                         const StationOptions &options, std::string &error) {
    std::ifstream in(config.planPath);
    if (!in) {
        error = config.planPath + ": cannot read the plan";
        return nullptr;
    }
    std::stringstream text;
    text << in.rdbuf();
    std::unique_ptr<Station> station(new Station(config, store, options));
    station->planName_ = std::filesystem::path(config.planPath).stem().string();
    station->planHash_ = PlanHash(text.str());
    if (station->options_.operatorName.empty()) {
        station->options_.operatorName = config.operatorName;
    }
    for (const SlotConfig &slotConfig : config.slots) {
        auto slot = std::make_unique<Slot>();
        slot->config = slotConfig;
        std::vector<std::string> errors;
        if (!fixture::ParsePlan(text.str(), station->planName_, SlotVariables(config, slotConfig),
                                slot->plan, errors)) {
            error = config.planPath + " (slot " + slotConfig.name + "): " + errors.front();
            for (size_t i = 1; i < errors.size(); ++i) error += "\n  " + errors[i];
            return nullptr;
        }
        slot->view.name = slotConfig.name;
        slot->view.port = slotConfig.port;
        slot->view.steps = static_cast<int>(slot->plan.steps.size());
        station->slots_.push_back(std::move(slot));
    }
    for (auto &slot : station->slots_) {
        Slot *s = slot.get();
        s->thread = std::thread([station = station.get(), s] { station->Work(*s); });
    }
    return station;
}

Station::~Station() {
    Shutdown();
}

void Station::Shutdown() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    for (auto &slot : slots_) {
        if (slot->thread.joinable()) slot->thread.join();
    }
}

void Station::WaitFinished() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] {
        if (stopping_) return true;
        for (const auto &slot : slots_) {
            if (slot->runs < options_.runsPerSlot || slot->view.phase != SlotPhase::Done) {
                return false;
            }
        }
        return true;
    });
}

void Station::Notify() {
    // Called under the lock, so a callback never runs after its Unsubscribe returned.
    std::lock_guard<std::mutex> lock(subscribersMutex_);
    for (const auto &[id, callback] : subscribers_) callback();
}

template <typename F>
void Station::Change(Slot &slot, F &&change) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        change(slot.view);
    }
    changed_.notify_all();
    Notify();
}

void Station::Work(Slot &slot) {
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return stopping_ || slot.startRequested; });
            if (stopping_) return;
            slot.startRequested = false;
        }
        RunOnce(slot);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++slot.runs;
            if (options_.autoRestart && !stopping_ &&
                (options_.runsPerSlot == 0 || slot.runs < options_.runsPerSlot)) {
                slot.startRequested = true;
            }
        }
        changed_.notify_all();
        Notify();
    }
}

void Station::RunOnce(Slot &slot) {
    const fixture::Plan &plan = slot.plan;
    const int64_t started = NowMs();
    std::string error;
    const int64_t runId = store_.BeginRun(
        {config_.name, slot.config.name, planName_, planHash_, options_.operatorName, started},
        error);
    Change(slot, [&](SlotView &v) {
        v.phase = SlotPhase::Running;
        v.board.clear();
        v.step = 0;
        v.stepName.clear();
        v.attempt = 0;
        v.prompt.clear();
        v.promptDeadlineMs = 0;
        v.confirm.clear();
        v.verdict = Verdict::None;
        v.failedStep.clear();
        v.failedReading.clear();
        v.runId = runId;
        v.startedMs = started;
        v.endedMs = 0;
    });
    if (sender_ != nullptr) sender_->Wake();

    auto finish = [&](Verdict verdict, const std::string &failedStep,
                      const std::string &failedReading) {
        const int64_t ended = NowMs();
        std::string storeError;
        if (runId != 0) {
            store_.EndRun(runId, verdict, ended, failedStep, failedReading, storeError);
            if (sender_ != nullptr) sender_->Wake();
            RunRecord record;
            if (!config_.junitDir.empty() && store_.Run(runId, record)) {
                std::error_code ignored;
                std::filesystem::create_directories(config_.junitDir, ignored);
                std::ofstream(config_.junitDir + "/" + config_.name + "-" + slot.config.name + "-" +
                              std::to_string(runId) + ".xml")
                    << RunJUnit(record.row, store_.Steps(runId));
            }
        }
        Change(slot, [&](SlotView &v) {
            v.phase = SlotPhase::Done;
            v.verdict = verdict;
            v.failedStep = failedStep;
            v.failedReading = runId == 0 ? "results store: " + storeError : failedReading;
            v.prompt.clear();
            v.promptDeadlineMs = 0;
            v.confirm.clear();
            v.endedMs = ended;
        });
    };
    if (runId == 0) {
        finish(Verdict::Fail, "", error);
        return;
    }
    fixture::Link link;
    if (!link.OpenDevice(slot.config.port, error)) {
        finish(Verdict::Fail, "open " + slot.config.port, error);
        return;
    }

    const int identity = fixture::IdentityStep(plan);
    std::unique_ptr<PromptHook> hook;
    fixture::RunOptions run;
    run.onAttempt = [&](size_t i, int attempt) {
        const fixture::PlanStep &step = plan.steps[i];
        hook.reset();
        Change(slot, [&](SlotView &v) {
            v.step = static_cast<int>(i) + 1;
            v.stepName = step.text;
            v.attempt = attempt;
            // A serial step's question is asked in phase Identify, with no clock and no hook.
            v.prompt = step.serial ? "" : step.prompt;
            v.promptDeadlineMs =
                step.prompt.empty() || step.serial ? 0 : NowMs() + step.request.timeoutMs;
        });
        if (!step.prompt.empty() && !step.serial) {
            hook = std::make_unique<PromptHook>(
                slot.config.onPrompt, std::filesystem::path(config_.path).parent_path().string());
        }
    };
    run.onResult = [&](size_t i, const fixture::StepResult &r) {
        hook.reset();
        const fixture::PlanStep &step = plan.steps[i];
        const bool pass = r.result.outcome == fixture::Outcome::Pass;
        StepRow row{runId,
                    static_cast<int>(i) + 1,
                    r.attempt,
                    step.text,
                    pass ? r.result.reading : r.result.summary,
                    Limits(step),
                    fixture::OutcomeName(r.result.outcome),
                    r.seconds,
                    fixture::RequestHex(step.request),
                    r.responseHex};
        std::string stepError;
        if (!store_.AddStep(row, stepError)) {
            std::fprintf(stderr, "station: slot %s: results store: %s\n", slot.config.name.c_str(),
                         stepError.c_str());
        }
        if (static_cast<int>(i) == identity && !r.result.value.empty()) {
            store_.SetBoard(runId, r.result.value, NowMs(), stepError);
            Change(slot, [&](SlotView &v) { v.board = r.result.value; });
        }
        if (sender_ != nullptr) sender_->Wake();
    };
    bool unanswered = false;
    // Asks the slot's operator and waits for the reply, or for the station to stop.
    const auto ask = [&](auto &reply, SlotPhase phase, const auto &show) {
        std::unique_lock<std::mutex> lock(mutex_);
        reply.reset();
        slot.view.phase = phase;
        show(slot.view);
        lock.unlock();
        changed_.notify_all();
        Notify();
        lock.lock();
        changed_.wait(lock, [&] { return stopping_ || reply.has_value(); });
        // Nobody answered: the run is cut short, not failed by the operator.
        if (!reply.has_value()) unanswered = true;
        auto answer = std::move(reply);
        reply.reset();
        slot.view.phase = SlotPhase::Running;
        slot.view.confirm.clear();
        slot.view.prompt.clear();
        lock.unlock();
        Notify();
        return answer;
    };
    run.confirm = [&](size_t, const fixture::PlanStep &step) {
        if (options_.autoConfirm) return true;
        return ask(slot.answer, SlotPhase::Confirm,
                   [&](SlotView &v) {
                       v.confirm = step.confirm;
                       v.prompt.clear();
                       v.promptDeadlineMs = 0;
                   })
            .value_or(false);
    };
    run.identify = [&](size_t, const fixture::PlanStep &step) -> std::optional<std::string> {
        if (options_.autoIdentify) {
            return "AUTO-" + config_.name + "-" + slot.config.name + "-" + std::to_string(runId);
        }
        return ask(slot.identity, SlotPhase::Identify,
                   [&](SlotView &v) { v.prompt = step.prompt; });
    };
    run.stop = [&] {
        std::lock_guard<std::mutex> lock(mutex_);
        return stopping_;
    };
    const std::vector<fixture::StepResult> results = fixture::RunPlan(
        plan,
        [&](const fixture::Request &request) {
            return link.Transact(request.frame, request.timeoutMs, 1);
        },
        run);

    bool stopped = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped = stopping_;
    }
    for (const fixture::StepResult &r : results) {
        if ((!r.ran || unanswered) && stopped) {
            finish(Verdict::Aborted, "", "the station stopped");
            return;
        }
        if (r.ran && r.result.outcome != fixture::Outcome::Pass) {
            finish(Verdict::Fail, r.step->text, r.result.summary);
            return;
        }
    }
    finish(Verdict::Pass, "", "");
}

std::string Station::StationName() const {
    return config_.name;
}
std::string Station::PlanName() const {
    return planName_;
}

std::vector<SlotView> Station::Slots() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<SlotView> views;
    for (const auto &slot : slots_) views.push_back(slot->view);
    return views;
}

Station::Slot *Station::Find(const std::string &name, std::string &error) {
    for (const auto &slot : slots_) {
        if (slot->config.name == name) return slot.get();
    }
    error = "no slot '" + name + "'";
    return nullptr;
}

bool Station::StartSlot(const std::string &name, std::string &error) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Slot *found = Find(name, error);
        if (found == nullptr) return false;
        if (stopping_) {
            error = "the station is stopping";
            return false;
        }
        if (found->startRequested || found->view.phase == SlotPhase::Running ||
            found->view.phase == SlotPhase::Confirm || found->view.phase == SlotPhase::Identify) {
            error = "slot " + name + " is running";
            return false;
        }
        found->startRequested = true;
    }
    changed_.notify_all();
    return true;
}

bool Station::Answer(const std::string &name, bool yes, std::string &error) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Slot *found = Find(name, error);
        if (found == nullptr) return false;
        if (found->view.phase != SlotPhase::Confirm || found->answer.has_value()) {
            error = "slot " + name + " asks nothing now";
            return false;
        }
        found->answer = yes;
    }
    changed_.notify_all();
    return true;
}

bool Station::EnterIdentity(const std::string &name, const std::string &text, std::string &error) {
    std::string serial;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Slot *found = Find(name, error);
        if (found == nullptr) return false;
        if (found->view.phase != SlotPhase::Identify || found->identity.has_value()) {
            error = "slot " + name + " asks for no serial number now";
            return false;
        }
        if (!CheckSerial(text, serial, error)) {
            error = "slot " + name + ": " + error;
            return false;
        }
        found->identity = std::move(serial);
    }
    changed_.notify_all();
    return true;
}

int Station::Subscribe(std::function<void()> onChange) {
    std::lock_guard<std::mutex> lock(subscribersMutex_);
    subscribers_[nextSubscriber_] = std::move(onChange);
    return nextSubscriber_++;
}

void Station::Unsubscribe(int id) {
    std::lock_guard<std::mutex> lock(subscribersMutex_);
    subscribers_.erase(id);
}

}  // namespace station
