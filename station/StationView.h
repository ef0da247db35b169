// What the operator's surfaces (the terminal and the web page) see of a running station and
// may ask of it. The station implements it; the surfaces only read snapshots and send requests.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace station {

enum class SlotPhase {
    Idle,      // waiting for the operator to start it
    Running,   // a step is on the line
    Confirm,   // a step passed and the operator must judge it (yes/no)
    Identify,  // a `serial` step waits for the board's serial number (prompt holds the question)
    Done,      // the run ended; the verdict stays until the slot starts again
};

// Error: the station could not test the board (its results not stored, its fixture port lost):
// not the board's fault, so it never counts as a board's pass or failure.
enum class Verdict { None, Pass, Fail, Aborted, Error };

// Now, as every stored and shown time is written: ms since the Unix epoch (UTC).
int64_t NowMs();

const char *SlotPhaseName(SlotPhase phase);  // "idle", "running", "confirm", "identify", "done"
const char *VerdictName(Verdict verdict);    // "", "PASS", "FAIL", "ABORTED", "ERROR"

// Times are milliseconds since the Unix epoch (UTC).
struct SlotView {
    std::string name;
    std::string port;
    std::string board;    // the board's identity once read, else empty
    std::string variant;  // the variant whose plan runs, once the board's type is read
    SlotPhase phase = SlotPhase::Idle;
    int step = 0;          // 1-based index of the current (or last) step; 0 before the first
    int steps = 0;         // steps in the plan
    std::string stepName;  // the command as written, e.g. "touch"
    int attempt = 0;       // 1 for the first try, more when the step has retry=N
    std::string prompt;    // shown while a prompted step runs, and the question to Identify
    int64_t promptDeadlineMs = 0;     // when the prompted step's time runs out, else 0
    std::string confirm;              // the question while phase == Confirm, else empty
    Verdict verdict = Verdict::None;  // of the last finished run, kept until the next start
    std::string failedStep;           // the step that failed (verdict Fail), as written
    std::string failedReading;        // its reading or error text
    int64_t runId = 0;                // the run in the results store, 0 before the first
    int64_t startedMs = 0, endedMs = 0;
    // Beside the state, for the operator: why the slot does not start ("waiting for the board
    // on PORT"), or an output of the run that failed (its JUnit file); empty when none.
    std::string note;
};

// A file a host step programmed into the board (image=), as the run records it.
struct ImageRecord {
    int step = 0;  // the plan step, 1-based
    std::string path, sha256;
    uint64_t size = 0;
};

// One stored run, as history and today's list show it.
struct RunRow {
    int64_t id = 0;
    std::string board, station, slot, plan, planHash, operatorName;
    int64_t startedMs = 0, endedMs = 0;  // endedMs 0 while it runs
    Verdict verdict = Verdict::None;     // None while it runs
    std::string failedStep, failedReading;
    // What tested the board: the variant whose plan ran (empty without variants), the
    // station's build, the agent's version reading (empty when the plan has none), the port.
    std::string variant, stationVersion, agentVersion, port;
    std::vector<ImageRecord> images;
};

// A slot's tile once `run` has ended: the live run's end, or its last stored run after a restart.
void ShowEnded(SlotView &view, const RunRow &run);

// A repair recorded for a board (station repair): its failures before it no longer count.
struct RepairRow {
    int64_t id = 0;
    std::string board;
    int64_t atMs = 0;
    std::string note, operatorName;
};

// One delivery target of the local outbox (PostgreSQL, the factory's message bus), as the
// operator sees it while it is behind.
struct OutboxStatus {
    std::string target;     // "postgres", "cfx"
    int waiting = 0;        // entries not yet accepted by the target
    int setAside = 0;       // entries the target refused for good (kept, not retried)
    int64_t oldestMs = 0;   // when the oldest waiting entry was committed, 0 when none
    std::string lastError;  // the target's last refusal or connection error, empty once sent
};

struct StepStat {
    std::string step;  // as written in the plan
    int failures = 0;
    double medianSeconds = 0, maxSeconds = 0;
};

struct YieldReport {
    int64_t sinceMs = 0;
    int runs = 0, boards = 0;  // finished runs; boards with a PASS or FAIL run
    int firstPassBoards = 0;   // boards whose first PASS/FAIL run passed
    int finalPassBoards = 0;   // boards whose last PASS/FAIL run passed
    int abortedRuns = 0;       // not a board's result: counted apart
    int errorRuns = 0;         // the station's errors, not the boards'
    std::vector<std::pair<std::string, int>> errorsBySlot;  // ERROR runs by slot
    int unidentifiedRuns = 0;  // runs that never read a board's identity: no board of their own
    double firstPassYield = 0, finalYield = 0;  // 0..1; 0 when no boards
    // The same per variant (a board counts under the variant its runs last named).
    struct Variant {
        std::string name;
        int boards = 0, firstPassBoards = 0, finalPassBoards = 0;
        double firstPassYield = 0, finalYield = 0;
    };
    std::vector<Variant> variants;  // by name; empty when no run named one
    // A board's first judged run after a repair: how many, and how many passed.
    int retestsAfterRepair = 0, retestsPassed = 0;
    std::vector<StepStat> failuresByStep;  // most failures first, failing steps only
    std::vector<StepStat> slowestSteps;    // slowest median first
};

class StationControl {
  public:
    virtual ~StationControl() = default;

    virtual std::string StationName() const = 0;
    virtual std::string PlanName() const = 0;
    virtual std::vector<SlotView> Slots() const = 0;

    // Requests from the operator. False with `error` for a person ("no slot 'x'", "slot A is
    // running") when the request cannot be taken; never throws.
    virtual bool StartSlot(const std::string &slot, std::string &error) = 0;
    virtual bool Answer(const std::string &slot, bool yes, std::string &error) = 0;
    // The serial number scanned or typed for a slot in phase Identify; refused (the slot keeps
    // asking) when it is not 1-64 printable characters once trimmed.
    virtual bool EnterIdentity(const std::string &slot, const std::string &text,
                               std::string &error) = 0;
    // A repair of a board, stored and sent on like `station repair`'s; an empty operator is the
    // station's, a zero time now.
    virtual bool RecordRepair(const RepairRow &repair, std::string &error) = 0;

    // `onChange` is called (from any thread) after every change a SlotView can show; it must
    // return quickly. The id is for Unsubscribe. The station calls it under its subscription
    // lock: it never runs after Unsubscribe returns, and must not Subscribe or Unsubscribe.
    virtual int Subscribe(std::function<void()> onChange) = 0;
    virtual void Unsubscribe(int id) = 0;

    // Each configured delivery target's backlog; empty when the station only keeps SQLite.
    virtual std::vector<OutboxStatus> Outboxes() const = 0;
};

// What is stored, for the surfaces and the reports; apart from the live station so that a
// query never waits on a slot and a report can run without a station.
class ResultsQuery {
  public:
    virtual ~ResultsQuery() = default;
    // `sinceMs` 0 means all time.
    virtual std::vector<RunRow> Runs(int64_t sinceMs) const = 0;
    virtual std::vector<RunRow> History(const std::string &board) const = 0;
    virtual std::vector<RepairRow> Repairs(const std::string &board) const = 0;  // oldest first
    virtual YieldReport Yield(int64_t sinceMs) const = 0;
};

}  // namespace station
