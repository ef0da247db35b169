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
#include "StationFile.h"
#include "StationView.h"
#include "Store.h"

namespace station {

class PostgresSender;

struct StationOptions {
    bool autoRestart = false;  // --auto: a slot starts again as soon as its board is done
    bool autoConfirm = false;  // answer every confirmation yes (a simulated line has no eyes)
    // Nobody scans either: a `serial` step gets AUTO-<station>-<slot>-<run id>, so every
    // automatic run counts as a board of its own.
    bool autoIdentify = false;
    int runsPerSlot = 0;  // with autoRestart: stop after this many runs; 0 no limit
    std::string operatorName;
};

// A short content hash of the plan file, so a run names exactly which plan it ran.
std::string PlanHash(const std::string &text);

// A serial number as scanned or typed, trimmed; false with `error` for the operator unless it
// is 1-64 printable ASCII characters.
bool CheckSerial(const std::string &typed, std::string &serial, std::string &error);

class Station : public StationControl {
  public:
    // Reads the plan and fills it in for every slot; false with `error` naming the slot and line.
    static std::unique_ptr<Station> Create(const StationConfig &config, Store &store,
                                           const StationOptions &options, std::string &error);
    ~Station() override;

    void SetSender(PostgresSender *sender) { sender_ = sender; }
    // Ends the slots' runs after their current step (those runs are stored as aborted).
    void Shutdown();
    // With runsPerSlot: blocks until every slot has run that many times (or Shutdown).
    void WaitFinished();
    const StationConfig &Config() const { return config_; }
    const std::string &PlanHashText() const { return planHash_; }

    std::string StationName() const override;
    std::string PlanName() const override;
    std::vector<SlotView> Slots() const override;
    bool StartSlot(const std::string &slot, std::string &error) override;
    bool Answer(const std::string &slot, bool yes, std::string &error) override;
    bool EnterIdentity(const std::string &slot, const std::string &text,
                       std::string &error) override;
    int Subscribe(std::function<void()> onChange) override;
    void Unsubscribe(int id) override;
    std::vector<OutboxStatus> Outboxes() const override { return {}; }

  private:
    struct Slot {
        SlotConfig config;
        fixture::Plan plan;
        SlotView view;
        bool startRequested = false;
        int runs = 0;
        std::optional<bool> answer;
        std::optional<std::string> identity;  // the serial number entered, until taken
        std::thread thread;
    };

    Station(const StationConfig &config, Store &store, const StationOptions &options);
    void Work(Slot &slot);
    void RunOnce(Slot &slot);
    void Notify();
    Slot *Find(const std::string &name, std::string &error);  // under mutex_
    template <typename F>
    void Change(Slot &slot, F &&change);

    StationConfig config_;
    Store &store_;
    StationOptions options_;
    std::string planName_, planHash_;
    PostgresSender *sender_ = nullptr;

    mutable std::mutex mutex_;  // guards every Slot's view and requests, and stopping_
    std::condition_variable changed_;
    bool stopping_ = false;
    std::vector<std::unique_ptr<Slot>> slots_;

    std::mutex subscribersMutex_;
    std::map<int, std::function<void()>> subscribers_;
    int nextSubscriber_ = 1;
};

}  // namespace station
