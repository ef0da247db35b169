#include "Station.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "Metrics.h"
#include "Outbox.h"
#include "RunOutputs.h"
#include "Text.h"
#include "Trace.h"

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

std::string WaitingForBoard(const std::string &port) {
    return "waiting for the board on " + port;
}

// What a run asks of its slot, answered by the station.
class Station::Host : public RunHost {
  public:
    Host(Station &station, Slot &slot) : station_(station), slot_(slot) {}
    void Show(const std::function<void(SlotView &)> &change) override {
        station_.Change(slot_, change);
    }
    std::optional<bool> AskYesNo(const std::string &question) override {
        return station_.Ask(slot_, slot_.answer, SlotPhase::Confirm, [&](SlotView &v) {
            v.confirm = question;
            v.prompt.clear();
            v.promptDeadlineMs = 0;
        });
    }
    std::optional<std::string> AskSerial(const std::string &prompt) override {
        return station_.Ask(slot_, slot_.identity, SlotPhase::Identify,
                            [&](SlotView &v) { v.prompt = prompt; });
    }
    bool Stopping() override {
        std::lock_guard<std::mutex> lock(station_.mutex_);
        return station_.stopping_;
    }

  private:
    Station &station_;
    Slot &slot_;
};

Station::Station(const StationConfig &config, Store &store, const StationOptions &options)
    : config_(config), store_(store), options_(options) {}

std::unique_ptr<Station> Station::Create(const StationConfig &config, Store &store,
                                         const StationOptions &options,
                                         const std::vector<OutboxSender *> &senders,
                                         std::string &error) {
    std::unique_ptr<Station> station(new Station(config, store, options));
    if (station->options_.operatorName.empty()) {
        station->options_.operatorName = config.operatorName;
    }
    if (!station->ReadPlan(error)) return nullptr;
    station->senders_ = senders;
    station->outputs_ = StationOutputs(config, store, senders);
    if (options.metrics)
        station->outputs_.push_back(std::make_unique<MetricsOutput>(*options.metrics));
    // After a restart each slot shows its last stored run (the ones a stop aborted too).
    for (const RunRow &run : store.LastRunPerSlot(config.name)) {
        for (auto &slot : station->slots_) {
            if (run.slot == slot->view.name) ShowEnded(slot->view, run);
        }
    }
    for (auto &slot : station->slots_) {
        Slot *s = slot.get();
        s->thread = std::thread([station = station.get(), s] { station->Work(*s); });
    }
    return station;
}

namespace {

// A plan file filled in with one slot's variables, the secret ones masked; false with `error`
// naming the slot and line.
bool FillPlan(const StationConfig &config, const std::string &path, const std::string &text,
              const std::string &slot, const fixture::Variables &vars, fixture::Plan &plan,
              std::string &error) {
    std::vector<std::string> errors;
    const std::string name = std::filesystem::path(path).stem().string();
    if (fixture::ParsePlan(text, name, vars, plan, errors)) {
        fixture::AddSecrets(plan, SecretValues(config, vars));
        return true;
    }
    error = path + " (slot " + slot + "): " + errors.front();
    for (size_t i = 1; i < errors.size(); ++i) error += "\n  " + errors[i];
    return false;
}

}  // namespace

// With variants the station's plan only identifies the board: it must read its type.
bool Station::ReadVariants(Slot &slot, const std::vector<std::string> &texts, std::string &error) {
    bool readsType = false;
    for (const fixture::PlanStep &step : slot.plan.steps) {
        const fixture::CommandDef *def = step.request.def;
        readsType = readsType || (def != nullptr && def->decode == fixture::Decode::BoardType);
    }
    if (!config_.variants.empty() && !readsType) {
        error = config_.planPath + ": with [[variant]] tables the plan must read board-type";
        return false;
    }
    for (size_t i = 0; i < config_.variants.size(); ++i) {
        const VariantConfig &variant = config_.variants[i];
        VariantPlan filled{&variant,
                           {},
                           std::filesystem::path(variant.planPath).stem().string(),
                           PlanHash(texts[i])};
        if (!FillPlan(config_, variant.planPath, texts[i], slot.config.name,
                      SlotVariables(config_, slot.config, &variant), filled.plan, error)) {
            return false;
        }
        slot.variants.push_back(std::move(filled));
    }
    return true;
}

bool Station::ReadPlan(std::string &error) {
    std::string text;
    if (!fixture::ReadTextFile(config_.planPath, fixture::kMaxPlanFileBytes, text, error)) {
        return false;
    }
    // Each variant's plan is read once, and filled in for every slot.
    std::vector<std::string> variantTexts(config_.variants.size());
    for (size_t i = 0; i < config_.variants.size(); ++i) {
        if (!fixture::ReadTextFile(config_.variants[i].planPath, fixture::kMaxPlanFileBytes,
                                   variantTexts[i], error)) {
            return false;
        }
    }
    planName_ = std::filesystem::path(config_.planPath).stem().string();
    planHash_ = PlanHash(text);
    for (const SlotConfig &slotConfig : config_.slots) {
        auto slot = std::make_unique<Slot>();
        slot->config = slotConfig;
        if (!FillPlan(config_, config_.planPath, text, slotConfig.name,
                      SlotVariables(config_, slotConfig), slot->plan, error) ||
            !ReadVariants(*slot, variantTexts, error)) {
            return false;
        }
        slot->view.name = slotConfig.name;
        slot->view.port = slotConfig.port;
        slot->view.steps = static_cast<int>(slot->plan.steps.size());
        slots_.push_back(std::move(slot));
    }
    return true;
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

int Station::Unsaved() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return unsaved_;
}

void Station::Notify() {
    // Under the subscription lock, so a callback never runs after its Unsubscribe returned.
    std::lock_guard<std::mutex> lock(subscribersMutex_);
    for (const auto &[id, callback] : subscribers_) callback();
}

void Station::Change(Slot &slot, const std::function<void(SlotView &)> &change) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        change(slot.view);
    }
    changed_.notify_all();
    Notify();
}

void Station::Work(Slot &slot) {
    Host host(*this, slot);
    const RunSetup setup{config_,
                         slot.config,
                         slot.plan,
                         planName_,
                         planHash_,
                         options_,
                         config_.variants.empty() ? nullptr : &slot.variants,
                         [this](const std::string &board) -> std::string {
                             if (config_.maxFailures == 0) return "";
                             return RepairRefusal(board, store_.VerdictsSinceRepair(board),
                                                  config_.maxFailures);
                         }};
    while (WaitForStart(slot)) {
        Run run(setup, host, outputs_);
        std::string error;
        if (!run.Open(error)) {
            // No board, no run: nothing is stored for a port that never opened.
            Change(slot, [&](SlotView &v) { v.note = WaitingForBoard(slot.config.port); });
            Again(slot, false, true);
            continue;
        }
        run.Go();
        const bool saved = run.RecordError().empty();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            unsaved_ += saved ? 0 : 1;
        }
        // A store that cannot write is not tried again at full speed.
        Again(slot, true, !saved);
    }
}

bool Station::WaitForStart(Slot &slot) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return stopping_ || slot.startRequested; });
    slot.startRequested = false;
    return !stopping_;
}

void Station::Again(Slot &slot, bool ran, bool pause) {
    std::unique_lock<std::mutex> lock(mutex_);
    slot.runs += ran ? 1 : 0;
    const bool more =
        options_.autoRestart && (options_.runsPerSlot == 0 || slot.runs < options_.runsPerSlot);
    if (more && pause) {
        changed_.wait_for(lock, std::chrono::seconds(1), [this] { return stopping_; });
    }
    if (more && !stopping_) slot.startRequested = true;
    lock.unlock();
    changed_.notify_all();
    Notify();
}

// Asks the slot's operator and waits for the reply, or for the station to stop (nullopt: the
// run is cut short, not failed by the operator).
template <typename T>
std::optional<T> Station::Ask(Slot &slot, std::optional<T> &reply, SlotPhase phase,
                              const std::function<void(SlotView &)> &show) {
    std::unique_lock<std::mutex> lock(mutex_);
    reply.reset();
    slot.view.phase = phase;
    show(slot.view);
    lock.unlock();
    changed_.notify_all();
    Notify();
    lock.lock();
    changed_.wait(lock, [&] { return stopping_ || reply.has_value(); });
    std::optional<T> answer = std::move(reply);
    reply.reset();
    slot.view.phase = SlotPhase::Running;
    slot.view.confirm.clear();
    slot.view.prompt.clear();
    lock.unlock();
    Notify();
    return answer;
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
    // An operator's start is answered at once; under --auto the slot waits for its board.
    const std::string *port = nullptr;
    for (const auto &slot : slots_) {
        if (slot->config.name == name) port = &slot->config.port;
    }
    struct stat node;
    if (port != nullptr && !options_.autoRestart && stat(port->c_str(), &node) != 0) {
        error = WaitingForBoard(*port);
        return false;
    }
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

// Through the station's own store: a second connection in this process would drop its locks.
bool Station::RecordRepair(const RepairRow &repair, std::string &error) {
    RepairRow row = repair;
    if (row.atMs == 0) row.atMs = NowMs();
    if (row.operatorName.empty()) row.operatorName = options_.operatorName;
    if (!store_.AddRepair(row, error)) return false;
    for (OutboxSender *sender : senders_) sender->Wake();
    return true;
}

std::vector<OutboxStatus> Station::Outboxes() const {
    std::vector<OutboxStatus> out;
    for (const OutboxSender *sender : senders_) out.push_back(sender->Status());
    return out;
}

}  // namespace station
