// The station: one worker thread per slot, each with its own link to its board, running the
// plan and committing every step to the store as it ends.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Plan.h"
#include "Run.h"
#include "RunOutput.h"
#include "StationFile.h"
#include "StationView.h"
#include "Store.h"

namespace station {

class OutboxSender;

// A short content hash of the plan file, so a run names exactly which plan it ran.
std::string PlanHash(const std::string &text);

// A serial number as scanned or typed, trimmed; false with `error` for the operator unless it
// is 1-64 printable ASCII characters.
bool CheckSerial(const std::string &typed, std::string &serial, std::string &error);

// A slot that cannot open its port says so, and starts no run.
std::string WaitingForBoard(const std::string &port);

class Station : public StationControl {
  public:
    // Reads the plan and fills it in for every slot; false with `error` naming the slot and line.
    // `senders` deliver the store's outbox; each run wakes them.
    static std::unique_ptr<Station> Create(const StationConfig &config, Store &store,
                                           const StationOptions &options,
                                           const std::vector<OutboxSender *> &senders,
                                           std::string &error);
    static std::unique_ptr<Station> Create(const StationConfig &config, Store &store,
                                           const StationOptions &options, std::string &error) {
        return Create(config, store, options, {}, error);
    }
    ~Station() override;

    // Ends the slots' runs after their current step (those runs are stored as aborted).
    void Shutdown();
    // With runsPerSlot: blocks until every slot has run that many times (or Shutdown).
    void WaitFinished();
    const StationConfig &Config() const { return config_; }
    const std::string &PlanHashText() const { return planHash_; }
    // Runs whose results could not be stored (they ended ERROR).
    int Unsaved() const;

    std::string StationName() const override;
    std::string PlanName() const override;
    std::vector<SlotView> Slots() const override;
    bool StartSlot(const std::string &slot, std::string &error) override;
    bool Answer(const std::string &slot, bool yes, std::string &error) override;
    bool EnterIdentity(const std::string &slot, const std::string &text,
                       std::string &error) override;
    bool RecordRepair(const RepairRow &repair, std::string &error) override;
    int Subscribe(std::function<void()> onChange) override;
    void Unsubscribe(int id) override;
    std::vector<OutboxStatus> Outboxes() const override;

  private:
    struct Slot {
        SlotConfig config;
        fixture::Plan plan;
        std::vector<VariantPlan> variants;  // each variant's plan, filled in for this slot
        SlotView view;
        bool startRequested = false;
        int runs = 0;
        std::optional<bool> answer;
        std::optional<std::string> identity;  // the serial number entered, until taken
        std::thread thread;
    };
    class Host;

    Station(const StationConfig &config, Store &store, const StationOptions &options);
    bool ReadPlan(std::string &error);
    // `texts`: each variant's plan file, in config_.variants' order.
    bool ReadVariants(Slot &slot, const std::vector<std::string> &texts, std::string &error);
    void Work(Slot &slot);
    bool WaitForStart(Slot &slot);
    // After a run, or a start that found no board: whether and when the slot goes again.
    void Again(Slot &slot, bool ran, bool pause);
    template <typename T>
    std::optional<T> Ask(Slot &slot, std::optional<T> &reply, SlotPhase phase,
                         const std::function<void(SlotView &)> &show);
    void Notify();
    Slot *Find(const std::string &name, std::string &error);  // under mutex_
    void Change(Slot &slot, const std::function<void(SlotView &)> &change);

    StationConfig config_;
    Store &store_;
    StationOptions options_;
    std::string planName_, planHash_;
    std::vector<OutboxSender *> senders_;
    RunOutputs outputs_;  // fixed before the slots start

    // Lock order: mutex_, then (never inside it) subscribersMutex_, then each subscriber's own
    // lock, taken in its callback. Nothing is written to a terminal, pipe or socket under
    // either: the subscribers only note that something changed.
    mutable std::mutex mutex_;  // guards every Slot's view and requests, stopping_, unsaved_
    std::condition_variable changed_;
    bool stopping_ = false;
    int unsaved_ = 0;
    std::vector<std::unique_ptr<Slot>> slots_;

    std::mutex subscribersMutex_;
    std::map<int, std::function<void()>> subscribers_;
    int nextSubscriber_ = 1;
};

}  // namespace station
