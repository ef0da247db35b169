// The station's results store: SQLite in WAL mode, each step committed when it ends. When the
// station also sends to PostgreSQL, every commit adds an outbox entry in the same transaction.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "StationView.h"

struct sqlite3;

namespace station {

struct RunStart {
    std::string station, slot, plan, planHash, operatorName;
    int64_t startedMs = 0;
};

struct StepRow {
    int64_t runId = 0;
    int index = 0;    // 1-based, as the plan numbers its steps
    int attempt = 1;  // retry= makes more
    std::string command, reading, limits, verdict;
    double seconds = 0;
    std::string request, response;  // frames in hex, secrets masked
};

struct OutboxItem {
    int64_t seq = 0;
    std::string kind;  // "run" or "step"
    int64_t ref = 0;   // its row id
};

struct RunRecord {
    RunRow row;
    std::string uid;  // the idempotent key the run carries to PostgreSQL
};

class Store : public ResultsQuery {
  public:
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    // Opens (creating) the file; runs a crash left open are marked aborted. `outbox`: keep an
    // entry per commit for PostgreSQL. Refuses a file another station holds.
    static std::unique_ptr<Store> Open(const std::string &path, bool outbox, std::string &error);
    // For queries beside a running station: reads only, takes no lock, changes nothing.
    static std::unique_ptr<Store> OpenForReading(const std::string &path, std::string &error);
    int AbortedOnOpen() const { return abortedOnOpen_; }

    int64_t BeginRun(const RunStart &run, std::string &error);
    bool SetBoard(int64_t runId, const std::string &board, int64_t nowMs, std::string &error);
    bool AddStep(const StepRow &step, std::string &error);
    bool EndRun(int64_t runId, Verdict verdict, int64_t endedMs, const std::string &failedStep,
                const std::string &failedReading, std::string &error);

    std::vector<RunRow> Runs(int64_t sinceMs) const override;
    std::vector<RunRow> History(const std::string &board) const override;
    YieldReport Yield(int64_t sinceMs) const override;
    std::vector<StepRow> Steps(int64_t runId) const;
    bool Run(int64_t runId, RunRecord &out) const;
    bool StepById(int64_t stepId, StepRow &out) const;

    std::vector<OutboxItem> Outbox(int limit) const;
    void OutboxDone(int64_t seq);

  private:
    Store() = default;
    bool Exec(const char *sql, std::string &error) const;
    bool Outboxed(const char *kind, int64_t ref, std::string &error);
    std::vector<RunRow> QueryRuns(const char *where, const std::string &text, int64_t number) const;

    mutable std::mutex mutex_;  // one connection, used by every slot and surface
    sqlite3 *db_ = nullptr;
    int lockFd_ = -1;
    bool outbox_ = false;
    int abortedOnOpen_ = 0;
};

Verdict VerdictFromName(const std::string &name);

}  // namespace station
