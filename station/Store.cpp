#include "Store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <random>

namespace station {

namespace {

constexpr char kSchema[] = R"(
CREATE TABLE IF NOT EXISTS boards(
  id TEXT PRIMARY KEY, first_seen_ms INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS runs(
  id INTEGER PRIMARY KEY, uid TEXT NOT NULL UNIQUE, board TEXT NOT NULL DEFAULT '',
  station TEXT NOT NULL, slot TEXT NOT NULL, plan TEXT NOT NULL, plan_hash TEXT NOT NULL,
  operator TEXT NOT NULL DEFAULT '', started_ms INTEGER NOT NULL, ended_ms INTEGER,
  verdict TEXT, failed_step TEXT NOT NULL DEFAULT '', failed_reading TEXT NOT NULL DEFAULT '');
CREATE INDEX IF NOT EXISTS runs_board ON runs(board);
CREATE INDEX IF NOT EXISTS runs_started ON runs(started_ms);
CREATE TABLE IF NOT EXISTS steps(
  id INTEGER PRIMARY KEY, run INTEGER NOT NULL REFERENCES runs(id), idx INTEGER NOT NULL,
  attempt INTEGER NOT NULL, command TEXT NOT NULL, reading TEXT NOT NULL, limits TEXT NOT NULL,
  verdict TEXT NOT NULL, seconds REAL NOT NULL, request TEXT NOT NULL, response TEXT NOT NULL,
  UNIQUE(run, idx, attempt));
CREATE TABLE IF NOT EXISTS outbox(
  seq INTEGER PRIMARY KEY, kind TEXT NOT NULL, ref INTEGER NOT NULL);
)";

constexpr char kRunColumns[] =
    "SELECT id, board, station, slot, plan, plan_hash, operator, started_ms, "
    "COALESCE(ended_ms, 0), COALESCE(verdict, ''), failed_step, failed_reading, uid FROM runs ";

// A prepared statement that finalizes itself.
class Statement {
  public:
    Statement(sqlite3 *db, const char *sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    bool ok() const { return stmt_ != nullptr; }
    Statement &Bind(int i, const std::string &text) {
        sqlite3_bind_text(stmt_, i, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement &Bind(int i, int64_t number) {
        sqlite3_bind_int64(stmt_, i, number);
        return *this;
    }
    Statement &Bind(int i, double number) {
        sqlite3_bind_double(stmt_, i, number);
        return *this;
    }
    int Step() { return stmt_ == nullptr ? SQLITE_ERROR : sqlite3_step(stmt_); }
    std::string Text(int i) const {
        const unsigned char *text = sqlite3_column_text(stmt_, i);
        return text == nullptr ? std::string() : reinterpret_cast<const char *>(text);
    }
    int64_t Int(int i) const { return sqlite3_column_int64(stmt_, i); }
    double Real(int i) const { return sqlite3_column_double(stmt_, i); }

  private:
    sqlite3_stmt *stmt_ = nullptr;
};

// BEGIN IMMEDIATE ... COMMIT, rolled back unless committed.
class Transaction {
  public:
    explicit Transaction(sqlite3 *db) : db_(db) {
        ok_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~Transaction() {
        if (ok_ && !done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    bool ok() const { return ok_; }
    bool Commit() {
        done_ = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
        return done_;
    }

  private:
    sqlite3 *db_;
    bool ok_ = false, done_ = false;
};

std::string NewUid() {
    std::random_device random;
    char text[33];
    snprintf(text, sizeof text, "%08x%08x%08x%08x", random(), random(), random(), random());
    return text;
}

RunRow ReadRun(const Statement &s, std::string *uid = nullptr) {
    RunRow row;
    row.id = s.Int(0);
    row.board = s.Text(1);
    row.station = s.Text(2);
    row.slot = s.Text(3);
    row.plan = s.Text(4);
    row.planHash = s.Text(5);
    row.operatorName = s.Text(6);
    row.startedMs = s.Int(7);
    row.endedMs = s.Int(8);
    row.verdict = VerdictFromName(s.Text(9));
    row.failedStep = s.Text(10);
    row.failedReading = s.Text(11);
    if (uid != nullptr) *uid = s.Text(12);
    return row;
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

Verdict VerdictFromName(const std::string &name) {
    if (name == "PASS") return Verdict::Pass;
    if (name == "FAIL") return Verdict::Fail;
    if (name == "ABORTED") return Verdict::Aborted;
    if (name == "ERROR") return Verdict::Error;
    return Verdict::None;
}

Store::~Store() {
    if (db_ != nullptr) sqlite3_close(db_);
    if (lockFd_ >= 0) close(lockFd_);
}

bool Store::Exec(const char *sql, std::string &error) const {
    char *message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    error = message != nullptr ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    return false;
}

std::unique_ptr<Store> Store::Open(const std::string &path, bool outbox, std::string &error) {
    std::unique_ptr<Store> store(new Store);
    store->outbox_ = outbox;
    // Two stations on one file would each take the other's open runs for crashed ones.
    store->lockFd_ = open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (store->lockFd_ < 0 || flock(store->lockFd_, LOCK_EX | LOCK_NB) != 0) {
        error = path + ": another station is using this store";
        return nullptr;
    }
    if (sqlite3_open_v2(path.c_str(), &store->db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        error = path + ": " + (store->db_ ? sqlite3_errmsg(store->db_) : "cannot open");
        return nullptr;
    }
    sqlite3_busy_timeout(store->db_, 5000);
    // FULL: a step reported done is on the disk even if the power goes next.
    if (!store->Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; PRAGMA foreign_keys=ON;",
                     error) ||
        !store->Exec(kSchema, error)) {
        error = path + ": " + error;
        return nullptr;
    }
    Transaction tx(store->db_);
    std::vector<int64_t> open;
    {
        Statement s(store->db_, "SELECT id FROM runs WHERE ended_ms IS NULL");
        while (s.Step() == SQLITE_ROW) open.push_back(s.Int(0));
    }
    for (int64_t id : open) {
        Statement s(store->db_, "UPDATE runs SET ended_ms = ?, verdict = 'ABORTED' WHERE id = ?");
        s.Bind(1, NowMs()).Bind(2, id);
        if (s.Step() != SQLITE_DONE || !store->Outboxed("run", id, error)) return nullptr;
    }
    if (!tx.Commit()) {
        error = path + ": " + sqlite3_errmsg(store->db_);
        return nullptr;
    }
    store->abortedOnOpen_ = static_cast<int>(open.size());
    return store;
}

std::unique_ptr<Store> Store::OpenForReading(const std::string &path, std::string &error) {
    std::unique_ptr<Store> store(new Store);
    if (sqlite3_open_v2(path.c_str(), &store->db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        error = path + ": " + (store->db_ ? sqlite3_errmsg(store->db_) : "cannot open");
        return nullptr;
    }
    sqlite3_busy_timeout(store->db_, 5000);
    Statement check(store->db_, "SELECT count(*) FROM runs");
    if (check.Step() != SQLITE_ROW) {
        error = path + ": not a station's results store";
        return nullptr;
    }
    return store;
}

bool Store::Outboxed(const char *kind, int64_t ref, std::string &error) {
    if (!outbox_) return true;
    Statement s(db_, "INSERT INTO outbox(kind, ref) VALUES(?, ?)");
    s.Bind(1, std::string(kind)).Bind(2, ref);
    if (s.Step() == SQLITE_DONE) return true;
    error = sqlite3_errmsg(db_);
    return false;
}

int64_t Store::BeginRun(const RunStart &run, std::string &error) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction tx(db_);
    Statement s(db_,
                "INSERT INTO runs(uid, station, slot, plan, plan_hash, operator, started_ms) "
                "VALUES(?, ?, ?, ?, ?, ?, ?)");
    s.Bind(1, NewUid()).Bind(2, run.station).Bind(3, run.slot).Bind(4, run.plan);
    s.Bind(5, run.planHash).Bind(6, run.operatorName).Bind(7, run.startedMs);
    if (!tx.ok() || s.Step() != SQLITE_DONE) {
        error = sqlite3_errmsg(db_);
        return 0;
    }
    const int64_t id = sqlite3_last_insert_rowid(db_);
    if (!Outboxed("run", id, error) || !tx.Commit()) {
        if (error.empty()) error = sqlite3_errmsg(db_);
        return 0;
    }
    return id;
}

bool Store::SetBoard(int64_t runId, const std::string &board, int64_t nowMs, std::string &error) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction tx(db_);
    Statement b(db_, "INSERT OR IGNORE INTO boards(id, first_seen_ms) VALUES(?, ?)");
    b.Bind(1, board).Bind(2, nowMs);
    Statement r(db_, "UPDATE runs SET board = ? WHERE id = ?");
    r.Bind(1, board).Bind(2, runId);
    if (!tx.ok() || b.Step() != SQLITE_DONE || r.Step() != SQLITE_DONE ||
        !Outboxed("run", runId, error) || !tx.Commit()) {
        if (error.empty()) error = sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

bool Store::AddStep(const StepRow &step, std::string &error) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction tx(db_);
    Statement s(db_,
                "INSERT INTO steps(run, idx, attempt, command, reading, limits, verdict, seconds, "
                "request, response) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    s.Bind(1, step.runId).Bind(2, static_cast<int64_t>(step.index));
    s.Bind(3, static_cast<int64_t>(step.attempt)).Bind(4, step.command).Bind(5, step.reading);
    s.Bind(6, step.limits).Bind(7, step.verdict).Bind(8, step.seconds).Bind(9, step.request);
    s.Bind(10, step.response);
    if (!tx.ok() || s.Step() != SQLITE_DONE ||
        !Outboxed("step", sqlite3_last_insert_rowid(db_), error) || !tx.Commit()) {
        if (error.empty()) error = sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

bool Store::EndRun(int64_t runId, Verdict verdict, int64_t endedMs, const std::string &failedStep,
                   const std::string &failedReading, std::string &error) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction tx(db_);
    Statement s(db_,
                "UPDATE runs SET ended_ms = ?, verdict = ?, failed_step = ?, failed_reading = ? "
                "WHERE id = ?");
    s.Bind(1, endedMs).Bind(2, std::string(VerdictName(verdict))).Bind(3, failedStep);
    s.Bind(4, failedReading).Bind(5, runId);
    if (!tx.ok() || s.Step() != SQLITE_DONE || !Outboxed("run", runId, error) || !tx.Commit()) {
        if (error.empty()) error = sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

std::vector<RunRow> Store::QueryRuns(const char *where, const std::string &text,
                                     int64_t number) const {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement s(db_, (std::string(kRunColumns) + where).c_str());
    if (!text.empty()) {
        s.Bind(1, text);
    } else {
        s.Bind(1, number);
    }
    std::vector<RunRow> rows;
    while (s.Step() == SQLITE_ROW) rows.push_back(ReadRun(s));
    return rows;
}

std::vector<RunRow> Store::Runs(int64_t sinceMs) const {
    return QueryRuns("WHERE started_ms >= ? ORDER BY started_ms, id", "", sinceMs);
}

std::vector<RunRow> Store::History(const std::string &board) const {
    if (board.empty()) return {};
    return QueryRuns("WHERE board = ? ORDER BY started_ms, id", board, 0);
}

bool Store::Run(int64_t runId, RunRecord &out) const {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement s(db_, (std::string(kRunColumns) + "WHERE id = ?").c_str());
    s.Bind(1, runId);
    if (s.Step() != SQLITE_ROW) return false;
    out.row = ReadRun(s, &out.uid);
    return true;
}

namespace {
constexpr char kStepColumns[] =
    "SELECT run, idx, attempt, command, reading, limits, verdict, seconds, request, response "
    "FROM steps ";

StepRow ReadStep(const Statement &s) {
    StepRow row;
    row.runId = s.Int(0);
    row.index = static_cast<int>(s.Int(1));
    row.attempt = static_cast<int>(s.Int(2));
    row.command = s.Text(3);
    row.reading = s.Text(4);
    row.limits = s.Text(5);
    row.verdict = s.Text(6);
    row.seconds = s.Real(7);
    row.request = s.Text(8);
    row.response = s.Text(9);
    return row;
}
}  // namespace

std::vector<StepRow> Store::Steps(int64_t runId) const {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement s(db_, (std::string(kStepColumns) + "WHERE run = ? ORDER BY idx, attempt").c_str());
    s.Bind(1, runId);
    std::vector<StepRow> rows;
    while (s.Step() == SQLITE_ROW) rows.push_back(ReadStep(s));
    return rows;
}

bool Store::StepById(int64_t stepId, StepRow &out) const {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement s(db_, (std::string(kStepColumns) + "WHERE id = ?").c_str());
    s.Bind(1, stepId);
    if (s.Step() != SQLITE_ROW) return false;
    out = ReadStep(s);
    return true;
}

std::vector<OutboxItem> Store::Outbox(int limit) const {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement s(db_, "SELECT seq, kind, ref FROM outbox ORDER BY seq LIMIT ?");
    s.Bind(1, static_cast<int64_t>(limit));
    std::vector<OutboxItem> items;
    while (s.Step() == SQLITE_ROW) items.push_back({s.Int(0), s.Text(1), s.Int(2)});
    return items;
}

void Store::OutboxDone(int64_t seq) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement s(db_, "DELETE FROM outbox WHERE seq = ?");
    s.Bind(1, seq);
    s.Step();
}

YieldReport Store::Yield(int64_t sinceMs) const {
    YieldReport report;
    report.sinceMs = sinceMs;
    std::vector<RunRow> runs = Runs(sinceMs);
    // A run that never read its board's identity still tested a board: it counts on its own.
    std::map<std::string, std::vector<const RunRow *>> byBoard;
    for (const RunRow &run : runs) {
        if (run.verdict == Verdict::None) continue;
        ++report.runs;
        byBoard[run.board.empty() ? "#" + std::to_string(run.id) : run.board].push_back(&run);
    }
    report.boards = static_cast<int>(byBoard.size());
    for (const auto &[board, list] : byBoard) {
        report.firstPassBoards += list.front()->verdict == Verdict::Pass;
        report.finalPassBoards += list.back()->verdict == Verdict::Pass;
    }
    if (report.boards > 0) {
        report.firstPassYield = static_cast<double>(report.firstPassBoards) / report.boards;
        report.finalYield = static_cast<double>(report.finalPassBoards) / report.boards;
    }
    std::map<std::string, std::vector<double>> seconds;
    std::map<std::string, int> failures;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Statement s(db_,
                    "SELECT s.command, s.seconds FROM steps s JOIN runs r ON r.id = "
                    "s.run WHERE r.started_ms >= ? AND r.verdict IS NOT NULL");
        s.Bind(1, sinceMs);
        while (s.Step() == SQLITE_ROW) {
            const std::string command = s.Text(0);
            seconds[command].push_back(s.Real(1));
        }
    }
    // A step's failures are the runs it failed, however many tries each took.
    for (const RunRow &run : runs) {
        if (run.verdict == Verdict::Fail && !run.failedStep.empty()) ++failures[run.failedStep];
    }
    for (const auto &[command, list] : seconds) {
        StepStat stat{command, failures[command], Median(list),
                      *std::max_element(list.begin(), list.end())};
        if (stat.failures > 0) report.failuresByStep.push_back(stat);
        failures.erase(command);
        report.slowestSteps.push_back(stat);
    }
    // A step that failed before any of its tries was stored (the line could not be opened).
    for (const auto &[step, count] : failures) report.failuresByStep.push_back({step, count, 0, 0});
    std::stable_sort(report.failuresByStep.begin(), report.failuresByStep.end(),
                     [](const StepStat &a, const StepStat &b) { return a.failures > b.failures; });
    std::stable_sort(
        report.slowestSteps.begin(), report.slowestSteps.end(),
        [](const StepStat &a, const StepStat &b) { return a.medianSeconds > b.medianSeconds; });
    if (report.slowestSteps.size() > 5) report.slowestSteps.resize(5);
    return report;
}

}  // namespace station
