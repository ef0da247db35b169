// The station's results store: SQLite in WAL mode, each step committed when it ends. Every
// commit also adds, in the same transaction, an outbox entry for each delivery target that takes
// that kind of change, so a crash can neither lose nor invent a delivery.
//
// A new target plugs in with: a name and the changes it takes (an OutboxTarget given to Open),
// a sender derived from OutboxSender (Outbox.h) that sends a batch of its entries, and, for
// entries that are not about a run (station state), Enqueue with a payload.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "StationView.h"
#include "UniqueFd.h"

struct sqlite3;

namespace station {

inline constexpr char kPostgresTarget[] = "postgres";
inline constexpr char kCfxTarget[] = "cfx";

struct StepRow {
    int64_t runId = 0;
    int index = 0;    // 1-based, as the plan numbers its steps
    int attempt = 1;  // retry= makes more
    std::string command, reading, limits, verdict;
    double seconds = 0;
    std::string request, response;  // frames in hex, secrets masked
};

// Which changes a target is sent.
enum class OutboxKinds {
    Rows,   // every row as it changes: "run" (begun, board known, ended), "step", "repair"
    Edges,  // a run's two edges: "run-begun", "run-ended"
};

struct OutboxTarget {
    std::string name;
    OutboxKinds kinds = OutboxKinds::Rows;
};

struct OutboxItem {
    int64_t seq = 0;
    std::string kind;     // "run", "step", "repair", "run-begun", "run-ended", or Enqueue's own
    int64_t ref = 0;      // its row id (0 for an Enqueue'd entry)
    std::string payload;  // Enqueue's, else empty
    int64_t committedMs = 0;
};

struct RunRecord {
    RunRow row;
    std::string uid;  // the idempotent key the run carries to PostgreSQL
};

class Store : public ResultsQuery {
  public:
    ~Store() override;
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    // Opens (creating) the file; runs a crash left open are marked aborted. `targets`: the
    // delivery targets to keep outbox entries for. Refuses a file another station holds,
    // whatever path either of them took to it.
    static std::unique_ptr<Store> Open(const std::string &path,
                                       const std::vector<OutboxTarget> &targets,
                                       std::string &error);
    // `outbox`: PostgreSQL only.
    static std::unique_ptr<Store> Open(const std::string &path, bool outbox, std::string &error) {
        return Open(
            path,
            outbox ? std::vector<OutboxTarget>{{kPostgresTarget}} : std::vector<OutboxTarget>{},
            error);
    }
    // For queries beside a running station: reads only, takes no lock, changes nothing.
    static std::unique_ptr<Store> OpenForReading(const std::string &path, std::string &error);
    int AbortedOnOpen() const { return abortedOnOpen_; }

    // Text from outside (names, readings, frames) is stored as valid UTF-8: bad bytes replaced.
    // BeginRun takes the run as far as known at its start (names, plan, station version, port).
    int64_t BeginRun(const RunRow &run, std::string &error);
    bool SetBoard(int64_t runId, const std::string &board, int64_t nowMs, std::string &error);
    bool AddStep(const StepRow &step, std::string &error);
    bool EndRun(int64_t runId, Verdict verdict, int64_t endedMs, const std::string &failedStep,
                const std::string &failedReading, std::string &error);

    std::vector<RunRow> Runs(int64_t sinceMs) const override;
    std::vector<RunRow> History(const std::string &board) const override;
    // Each slot's newest run of this station: what its tile shows after a restart.
    std::vector<RunRow> LastRunPerSlot(const std::string &station) const;
    std::vector<RepairRow> Repairs(const std::string &board) const override;
    YieldReport Yield(int64_t sinceMs) const override;
    std::vector<StepRow> Steps(int64_t runId) const;
    bool Run(int64_t runId, RunRecord &out) const;
    bool StepById(int64_t stepId, StepRow &out) const;

    // What the run learnt of its board on the way: the variant and the plan that ran, the
    // agent's version, the images it programmed.
    bool SetTrace(const RunRow &run, std::string &error);
    // The board's finished runs since its last repair, newest first.
    std::vector<Verdict> VerdictsSinceRepair(const std::string &board) const;
    bool RepairById(int64_t id, RepairRow &out, std::string &uid) const;
    // With the targets' outbox entries ("repair") in the same transaction.
    bool AddRepair(const RepairRow &repair, std::string &error);
    // AddRepair from another process beside a running station: its own connection, the file's
    // lock not taken. Never in the station's own process (closing it would drop SQLite's locks).
    static bool RecordRepair(const std::string &path, const std::vector<OutboxTarget> &targets,
                             const RepairRow &repair, std::string &error);

    // An entry that is not about a run (the station's own state), for one target.
    bool Enqueue(const std::string &target, const std::string &kind, const std::string &payload,
                 std::string &error);
    // A target's waiting entries in commit order; set-aside ones are left out.
    std::vector<OutboxItem> Outbox(const std::string &target, int limit) const;
    // The target holds these now: one transaction for the batch.
    bool OutboxDone(const std::vector<int64_t> &seqs, std::string &error);
    // The target refused this entry for a reason a retry cannot mend: kept with the reason.
    bool SetAside(int64_t seq, const std::string &reason, std::string &error);
    // Waiting and set-aside counts and the oldest waiting entry's time (lastError left empty).
    OutboxStatus OutboxState(const std::string &target) const;

  private:
    enum class Change { RunBegun, RunChanged, StepAdded, RunEnded, RepairAdded };
    explicit Store(int lockFd) : lockFd_(lockFd) {}
    bool Exec(const char *sql, std::string &error) const;
    bool Migrate(std::string &error);
    int AbortOpenRuns(std::string &error);
    // The one write path: under the lock, in one transaction, `write` (returning the row id it
    // wrote, 0 on failure) and then each target's outbox entry for `change`.
    template <typename Write>
    int64_t Commit(Change change, std::string &error, Write &&write);
    bool Outboxed(Change change, int64_t ref, std::string &error);
    bool EndRunLocked(int64_t runId, Verdict verdict, int64_t endedMs,
                      const std::string &failedStep, const std::string &failedReading,
                      std::string &error);
    std::vector<RunRow> QueryRuns(const char *where, const std::string &text, int64_t number) const;
    void ReadImages(RunRow &run) const;  // under mutex_

    // Lock order: Station → Store → (nothing: no call leaves the store holding it).
    mutable std::mutex mutex_;  // one connection, used by every slot, sender and surface
    sqlite3 *db_ = nullptr;
    UniqueFd lockFd_;  // the database file itself, flock'ed: any path to it meets the lock
    std::pair<uint64_t, uint64_t> file_;  // its device and inode
    std::vector<OutboxTarget> targets_;
    int abortedOnOpen_ = 0;
};

Verdict VerdictFromName(const std::string &name);

// Why a run a crash left open was marked aborted at the next start.
inline constexpr char kEndedUnexpectedly[] = "the station ended unexpectedly";

}  // namespace station
