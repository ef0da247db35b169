#include "Store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <random>
#include <set>

#include "Text.h"

namespace station {

using fixture::ToValidUtf8;

namespace {

constexpr char kSchema[] = R"(
CREATE TABLE IF NOT EXISTS boards(
  id TEXT PRIMARY KEY, first_seen_ms INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS runs(
  id INTEGER PRIMARY KEY, uid TEXT NOT NULL UNIQUE, board TEXT NOT NULL DEFAULT '',
  station TEXT NOT NULL, slot TEXT NOT NULL, plan TEXT NOT NULL, plan_hash TEXT NOT NULL,
  operator TEXT NOT NULL DEFAULT '', started_ms INTEGER NOT NULL, ended_ms INTEGER,
  verdict TEXT, failed_step TEXT NOT NULL DEFAULT '', failed_reading TEXT NOT NULL DEFAULT '',
  variant TEXT NOT NULL DEFAULT '', station_version TEXT NOT NULL DEFAULT '',
  agent_version TEXT NOT NULL DEFAULT '', port TEXT NOT NULL DEFAULT '');
CREATE INDEX IF NOT EXISTS runs_board ON runs(board);
CREATE INDEX IF NOT EXISTS runs_started ON runs(started_ms);
CREATE TABLE IF NOT EXISTS steps(
  id INTEGER PRIMARY KEY, run INTEGER NOT NULL REFERENCES runs(id), idx INTEGER NOT NULL,
  attempt INTEGER NOT NULL, command TEXT NOT NULL, reading TEXT NOT NULL, limits TEXT NOT NULL,
  verdict TEXT NOT NULL, seconds REAL NOT NULL, request TEXT NOT NULL, response TEXT NOT NULL,
  UNIQUE(run, idx, attempt));
CREATE TABLE IF NOT EXISTS images(
  run INTEGER NOT NULL REFERENCES runs(id), step INTEGER NOT NULL, path TEXT NOT NULL,
  sha256 TEXT NOT NULL, size INTEGER NOT NULL, PRIMARY KEY(run, step));
CREATE TABLE IF NOT EXISTS repairs(
  id INTEGER PRIMARY KEY, uid TEXT NOT NULL UNIQUE, board TEXT NOT NULL, at_ms INTEGER NOT NULL,
  note TEXT NOT NULL, operator TEXT NOT NULL DEFAULT '');
CREATE INDEX IF NOT EXISTS repairs_board ON repairs(board, at_ms);
CREATE TABLE IF NOT EXISTS outbox(
  seq INTEGER PRIMARY KEY, kind TEXT NOT NULL, ref INTEGER NOT NULL);
)";

constexpr char kRunColumns[] =
    "SELECT id, board, station, slot, plan, plan_hash, operator, started_ms, "
    "COALESCE(ended_ms, 0), COALESCE(verdict, ''), failed_step, failed_reading, uid, variant, "
    "station_version, agent_version, port FROM runs ";

// A prepared statement that finalizes itself; its parameters bound in order.
class Statement {
  public:
    template <typename... Args>
    Statement(sqlite3 *db, const char *sql, const Args &...args) {
        sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
        Bind(args...);
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    template <typename... Args>
    void Bind(const Args &...args) {
        if (stmt_ == nullptr) return;
        int i = 0;
        (BindOne(++i, args), ...);
    }
    int Step() { return stmt_ == nullptr ? SQLITE_ERROR : sqlite3_step(stmt_); }
    // For the next row of a batch: the same statement, new parameters.
    bool Reset() { return stmt_ != nullptr && sqlite3_reset(stmt_) == SQLITE_OK; }
    // A statement that returns no rows; false when it failed.
    bool Done() { return Step() == SQLITE_DONE; }
    // A store written before text was checked may hold bad UTF-8: it never leaves as such.
    std::string Text(int i) const {
        const unsigned char *text = sqlite3_column_text(stmt_, i);
        return text == nullptr ? std::string() : ToValidUtf8(reinterpret_cast<const char *>(text));
    }
    int64_t Int(int i) const { return sqlite3_column_int64(stmt_, i); }
    double Real(int i) const { return sqlite3_column_double(stmt_, i); }

  private:
    void BindOne(int i, std::string_view text) {
        sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    void BindOne(int i, const std::string &text) { BindOne(i, std::string_view(text)); }
    void BindOne(int i, const char *text) { BindOne(i, std::string_view(text)); }
    template <std::integral T>
    void BindOne(int i, T number) {
        sqlite3_bind_int64(stmt_, i, static_cast<int64_t>(number));
    }
    void BindOne(int i, double number) { sqlite3_bind_double(stmt_, i, number); }

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

// The files this process holds. Closing any descriptor of a file drops the process's POSIX
// locks on it, SQLite's among them: a second open here is refused before it opens anything.
std::mutex heldMutex;
std::set<std::pair<uint64_t, uint64_t>> heldFiles;

// Opens and locks the database file; -1 with `error` when another station holds it. Two
// stations on one file would each take the other's open runs for crashed ones. The lock is on
// the file itself, so a symlink or a hard link meets it too.
int TakeFile(const std::string &path, std::pair<uint64_t, uint64_t> &file, std::string &error) {
    std::lock_guard<std::mutex> held(heldMutex);
    struct stat known;
    const std::string taken = path + ": another station is using this store";
    if (stat(path.c_str(), &known) == 0 && heldFiles.count({known.st_dev, known.st_ino}) != 0) {
        error = taken;
        return -1;
    }
    UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd.valid() || fstat(fd.get(), &known) != 0) {
        error = path + ": " + std::strerror(errno);
        return -1;
    }
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        error = taken;
        return -1;
    }
    file = {known.st_dev, known.st_ino};
    heldFiles.insert(file);
    return fd.release();
}

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
    row.variant = s.Text(13);
    row.stationVersion = s.Text(14);
    row.agentVersion = s.Text(15);
    row.port = s.Text(16);
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
    if (lockFd_.valid()) {
        std::lock_guard<std::mutex> held(heldMutex);
        heldFiles.erase(file_);
    }
}

bool Store::Exec(const char *sql, std::string &error) const {
    char *message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    error = message != nullptr ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    return false;
}

// A store from before delivery targets had only PostgreSQL's entries: they stay its own.
bool Store::Migrate(std::string &error) {
    Statement has(db_, "SELECT count(*) FROM pragma_table_info('outbox') WHERE name = 'target'");
    if (has.Step() != SQLITE_ROW) {
        error = sqlite3_errmsg(db_);
        return false;
    }
    if (has.Int(0) == 0) {
        const std::string alter =
            std::string(
                "BEGIN IMMEDIATE; ALTER TABLE outbox ADD COLUMN target TEXT NOT NULL "
                "DEFAULT '") +
            kPostgresTarget +
            "'; ALTER TABLE outbox ADD COLUMN payload TEXT NOT NULL DEFAULT ''; "
            "ALTER TABLE outbox ADD COLUMN committed_ms INTEGER NOT NULL DEFAULT 0; "
            "ALTER TABLE outbox ADD COLUMN set_aside TEXT; COMMIT;";
        if (!Exec(alter.c_str(), error)) {
            Exec("ROLLBACK", error);
            return false;
        }
    }
    // A store from before runs recorded what tested the board.
    for (const char *column : {"variant", "station_version", "agent_version", "port"}) {
        Statement column_(db_, "SELECT count(*) FROM pragma_table_info('runs') WHERE name = ?",
                          column);
        const std::string add =
            std::string("ALTER TABLE runs ADD COLUMN ") + column + " TEXT NOT NULL DEFAULT ''";
        if (column_.Step() == SQLITE_ROW && column_.Int(0) == 0 && !Exec(add.c_str(), error)) {
            return false;
        }
    }
    return Exec("CREATE INDEX IF NOT EXISTS outbox_target ON outbox(target, seq)", error);
}

int Store::AbortOpenRuns(std::string &error) {
    std::vector<int64_t> open;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Statement s(db_, "SELECT id FROM runs WHERE ended_ms IS NULL");
        while (s.Step() == SQLITE_ROW) open.push_back(s.Int(0));
    }
    for (int64_t id : open) {
        if (!EndRun(id, Verdict::Aborted, NowMs(), "", kEndedUnexpectedly, error)) return -1;
    }
    return static_cast<int>(open.size());
}

std::unique_ptr<Store> Store::Open(const std::string &path,
                                   const std::vector<OutboxTarget> &targets, std::string &error) {
    std::pair<uint64_t, uint64_t> file;
    const int fd = TakeFile(path, file, error);
    if (fd < 0) return nullptr;
    std::unique_ptr<Store> store(new Store(fd));
    store->file_ = file;
    store->targets_ = targets;
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
        !store->Exec(kSchema, error) || !store->Migrate(error) ||
        (store->abortedOnOpen_ = store->AbortOpenRuns(error)) < 0) {
        error = path + ": " + error;
        return nullptr;
    }
    return store;
}

std::unique_ptr<Store> Store::OpenForReading(const std::string &path, std::string &error) {
    std::unique_ptr<Store> store(new Store(-1));
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

bool Store::Outboxed(Change change, int64_t ref, std::string &error) {
    for (const OutboxTarget &target : targets_) {
        const char *kind = nullptr;
        if (target.kinds == OutboxKinds::Rows) {
            kind = change == Change::StepAdded     ? "step"
                   : change == Change::RepairAdded ? "repair"
                                                   : "run";
        } else if (change == Change::RunBegun || change == Change::RunEnded) {
            kind = change == Change::RunBegun ? "run-begun" : "run-ended";
        }
        if (kind == nullptr) continue;
        Statement s(db_, "INSERT INTO outbox(target, kind, ref, committed_ms) VALUES(?, ?, ?, ?)",
                    target.name, kind, ref, NowMs());
        if (!s.Done()) {
            error = sqlite3_errmsg(db_);
            return false;
        }
    }
    return true;
}

template <typename Write>
int64_t Store::Commit(Change change, std::string &error, Write &&write) {
    std::lock_guard<std::mutex> lock(mutex_);
    error.clear();
    Transaction tx(db_);
    int64_t ref = 0;
    if (!tx.ok() || (ref = write()) == 0 || !Outboxed(change, ref, error) || !tx.Commit()) {
        if (error.empty()) error = sqlite3_errmsg(db_);
        return 0;
    }
    return ref;
}

int64_t Store::BeginRun(const RunRow &run, std::string &error) {
    return Commit(Change::RunBegun, error, [&]() -> int64_t {
        Statement s(db_,
                    "INSERT INTO runs(uid, station, slot, plan, plan_hash, operator, started_ms, "
                    "station_version, port) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)",
                    NewUid(), ToValidUtf8(run.station), ToValidUtf8(run.slot),
                    ToValidUtf8(run.plan), run.planHash, ToValidUtf8(run.operatorName),
                    run.startedMs, ToValidUtf8(run.stationVersion), ToValidUtf8(run.port));
        return s.Done() ? sqlite3_last_insert_rowid(db_) : 0;
    });
}

bool Store::SetBoard(int64_t runId, const std::string &board, int64_t nowMs, std::string &error) {
    const std::string id = ToValidUtf8(board);
    return Commit(Change::RunChanged, error, [&]() -> int64_t {
               Statement b(db_, "INSERT OR IGNORE INTO boards(id, first_seen_ms) VALUES(?, ?)", id,
                           nowMs);
               Statement r(db_, "UPDATE runs SET board = ? WHERE id = ?", id, runId);
               return b.Done() && r.Done() ? runId : 0;
           }) != 0;
}

bool Store::AddStep(const StepRow &step, std::string &error) {
    return Commit(Change::StepAdded, error, [&]() -> int64_t {
               Statement s(
                   db_,
                   "INSERT INTO steps(run, idx, attempt, command, reading, limits, verdict, "
                   "seconds, request, response) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                   step.runId, step.index, step.attempt, ToValidUtf8(step.command),
                   ToValidUtf8(step.reading), ToValidUtf8(step.limits), ToValidUtf8(step.verdict),
                   step.seconds, ToValidUtf8(step.request), ToValidUtf8(step.response));
               return s.Done() ? sqlite3_last_insert_rowid(db_) : 0;
           }) != 0;
}

bool Store::EndRun(int64_t runId, Verdict verdict, int64_t endedMs, const std::string &failedStep,
                   const std::string &failedReading, std::string &error) {
    return Commit(Change::RunEnded, error, [&]() -> int64_t {
               Statement s(db_,
                           "UPDATE runs SET ended_ms = ?, verdict = ?, failed_step = ?, "
                           "failed_reading = ? WHERE id = ?",
                           endedMs, VerdictName(verdict), ToValidUtf8(failedStep),
                           ToValidUtf8(failedReading), runId);
               return s.Done() ? runId : 0;
           }) != 0;
}

std::vector<RunRow> Store::QueryRuns(const char *where, const std::string &text,
                                     int64_t number) const {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement s(db_, (std::string(kRunColumns) + where).c_str());
    if (!text.empty()) {
        s.Bind(text);
    } else {
        s.Bind(number);
    }
    std::vector<RunRow> rows;
    while (s.Step() == SQLITE_ROW) rows.push_back(ReadRun(s));
    return rows;
}

std::vector<RunRow> Store::Runs(int64_t sinceMs) const {
    return QueryRuns("WHERE started_ms >= ? ORDER BY started_ms, id", "", sinceMs);
}

std::vector<RunRow> Store::LastRunPerSlot(const std::string &station) const {
    return QueryRuns("WHERE id IN (SELECT MAX(id) FROM runs WHERE station = ? GROUP BY slot)",
                     station, 0);
}

std::vector<RunRow> Store::History(const std::string &board) const {
    if (board.empty()) return {};
    std::vector<RunRow> runs = QueryRuns("WHERE board = ? ORDER BY started_ms, id", board, 0);
    std::lock_guard<std::mutex> lock(mutex_);
    for (RunRow &run : runs) ReadImages(run);
    return runs;
}

bool Store::Run(int64_t runId, RunRecord &out) const {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement s(db_, (std::string(kRunColumns) + "WHERE id = ?").c_str(), runId);
    if (s.Step() != SQLITE_ROW) return false;
    out.row = ReadRun(s, &out.uid);
    ReadImages(out.row);
    return true;
}

void Store::ReadImages(RunRow &run) const {
    Statement s(db_, "SELECT step, path, sha256, size FROM images WHERE run = ? ORDER BY step",
                run.id);
    while (s.Step() == SQLITE_ROW) {
        run.images.push_back(
            {static_cast<int>(s.Int(0)), s.Text(1), s.Text(2), static_cast<uint64_t>(s.Int(3))});
    }
}

bool Store::SetTrace(const RunRow &run, std::string &error) {
    return Commit(Change::RunChanged, error, [&]() -> int64_t {
               Statement s(db_,
                           "UPDATE runs SET plan = ?, plan_hash = ?, variant = ?, "
                           "agent_version = ? WHERE id = ?",
                           ToValidUtf8(run.plan), run.planHash, ToValidUtf8(run.variant),
                           ToValidUtf8(run.agentVersion), run.id);
               bool ok = s.Done();
               for (const ImageRecord &image : run.images) {
                   Statement i(db_,
                               "INSERT OR REPLACE INTO images(run, step, path, sha256, size) "
                               "VALUES(?, ?, ?, ?, ?)",
                               run.id, image.step, ToValidUtf8(image.path), image.sha256,
                               static_cast<int64_t>(image.size));
                   ok = ok && i.Done();
               }
               return ok ? run.id : 0;
           }) != 0;
}

std::vector<Verdict> Store::VerdictsSinceRepair(const std::string &board) const {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement s(db_,
                "SELECT verdict FROM runs WHERE board = ? AND verdict IS NOT NULL AND "
                "started_ms > COALESCE((SELECT max(at_ms) FROM repairs WHERE board = ?), -1) "
                "ORDER BY started_ms DESC, id DESC LIMIT 1000",
                board, board);
    std::vector<Verdict> verdicts;
    while (s.Step() == SQLITE_ROW) verdicts.push_back(VerdictFromName(s.Text(0)));
    return verdicts;
}

namespace {
constexpr char kRepairColumns[] = "SELECT id, board, at_ms, note, operator, uid FROM repairs ";

RepairRow ReadRepair(const Statement &s) {
    return {s.Int(0), s.Text(1), s.Int(2), s.Text(3), s.Text(4)};
}
}  // namespace

std::vector<RepairRow> Store::Repairs(const std::string &board) const {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement s(db_, (std::string(kRepairColumns) + "WHERE board = ? ORDER BY at_ms, id").c_str(),
                board);
    std::vector<RepairRow> rows;
    while (s.Step() == SQLITE_ROW) rows.push_back(ReadRepair(s));
    return rows;
}

bool Store::RepairById(int64_t id, RepairRow &out, std::string &uid) const {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement s(db_, (std::string(kRepairColumns) + "WHERE id = ?").c_str(), id);
    if (s.Step() != SQLITE_ROW) return false;
    out = ReadRepair(s);
    uid = s.Text(5);
    return true;
}

bool Store::RecordRepair(const std::string &path, const std::vector<OutboxTarget> &targets,
                         const RepairRow &repair, std::string &error) {
    Store store(-1);
    store.targets_ = targets;
    if (sqlite3_open_v2(path.c_str(), &store.db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        error = path + ": " + (store.db_ ? sqlite3_errmsg(store.db_) : "cannot open");
        return false;
    }
    sqlite3_busy_timeout(store.db_, 5000);
    if (!store.Exec(kSchema, error) || !store.Migrate(error)) return false;
    return store.AddRepair(repair, error);
}

bool Store::AddRepair(const RepairRow &repair, std::string &error) {
    return Commit(Change::RepairAdded, error, [&]() -> int64_t {
               Statement s(db_,
                           "INSERT INTO repairs(uid, board, at_ms, note, operator) "
                           "VALUES(?, ?, ?, ?, ?)",
                           NewUid(), ToValidUtf8(repair.board), repair.atMs,
                           ToValidUtf8(repair.note), ToValidUtf8(repair.operatorName));
               return s.Done() ? sqlite3_last_insert_rowid(db_) : 0;
           }) != 0;
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
    Statement s(db_, (std::string(kStepColumns) + "WHERE run = ? ORDER BY idx, attempt").c_str(),
                runId);
    std::vector<StepRow> rows;
    while (s.Step() == SQLITE_ROW) rows.push_back(ReadStep(s));
    return rows;
}

bool Store::StepById(int64_t stepId, StepRow &out) const {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement s(db_, (std::string(kStepColumns) + "WHERE id = ?").c_str(), stepId);
    if (s.Step() != SQLITE_ROW) return false;
    out = ReadStep(s);
    return true;
}

bool Store::Enqueue(const std::string &target, const std::string &kind, const std::string &payload,
                    std::string &error) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement s(
        db_, "INSERT INTO outbox(target, kind, ref, payload, committed_ms) VALUES(?, ?, 0, ?, ?)",
        target, kind, ToValidUtf8(payload), NowMs());
    if (s.Done()) return true;
    error = sqlite3_errmsg(db_);
    return false;
}

std::vector<OutboxItem> Store::Outbox(const std::string &target, int limit) const {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement s(db_,
                "SELECT seq, kind, ref, payload, committed_ms FROM outbox "
                "WHERE target = ? AND set_aside IS NULL ORDER BY seq LIMIT ?",
                target, limit);
    std::vector<OutboxItem> items;
    while (s.Step() == SQLITE_ROW)
        items.push_back({s.Int(0), s.Text(1), s.Int(2), s.Text(3), s.Int(4)});
    return items;
}

// One transaction (one fsync) for a whole batch: a drain after an outage is not held to the
// disk's sync rate.
bool Store::OutboxDone(const std::vector<int64_t> &seqs, std::string &error) {
    if (seqs.empty()) return true;
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction tx(db_);
    Statement s(db_, "DELETE FROM outbox WHERE seq = ?");
    bool ok = tx.ok();
    for (size_t i = 0; ok && i < seqs.size(); ++i) {
        ok = s.Reset();
        s.Bind(seqs[i]);
        ok = ok && s.Done();
    }
    if (ok && tx.Commit()) return true;
    error = sqlite3_errmsg(db_);
    return false;
}

bool Store::SetAside(int64_t seq, const std::string &reason, std::string &error) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement s(db_, "UPDATE outbox SET set_aside = ? WHERE seq = ?",
                ToValidUtf8(reason.empty() ? "refused" : reason), seq);
    if (s.Done()) return true;
    error = sqlite3_errmsg(db_);
    return false;
}

OutboxStatus Store::OutboxState(const std::string &target) const {
    std::lock_guard<std::mutex> lock(mutex_);
    OutboxStatus status;
    status.target = target;
    Statement s(db_,
                "SELECT count(*) FILTER (WHERE set_aside IS NULL), "
                "count(*) FILTER (WHERE set_aside IS NOT NULL), "
                "min(committed_ms) FILTER (WHERE set_aside IS NULL) FROM outbox WHERE target = ?",
                target);
    if (s.Step() == SQLITE_ROW) {
        status.waiting = static_cast<int>(s.Int(0));
        status.setAside = static_cast<int>(s.Int(1));
        status.oldestMs = s.Int(2);
    }
    return status;
}

namespace {
// A board's result is a PASS or a FAIL: an aborted run did not finish testing it and an ERROR
// was the station's fault; a run that never read an identity is no known board.
void CountRuns(const std::vector<RunRow> &runs, YieldReport &report) {
    std::map<std::string, std::vector<const RunRow *>> byBoard;
    std::map<std::string, int> errorsBySlot;
    for (const RunRow &run : runs) {
        if (run.verdict == Verdict::None) continue;
        ++report.runs;
        report.abortedRuns += run.verdict == Verdict::Aborted;
        if (run.verdict == Verdict::Error) {
            ++report.errorRuns;
            ++errorsBySlot[run.slot];
        }
        if (run.board.empty()) {
            ++report.unidentifiedRuns;
        } else if (run.verdict == Verdict::Pass || run.verdict == Verdict::Fail) {
            byBoard[run.board].push_back(&run);
        }
    }
    report.errorsBySlot.assign(errorsBySlot.begin(), errorsBySlot.end());
    report.boards = static_cast<int>(byBoard.size());
    std::map<std::string, YieldReport::Variant> variants;
    for (const auto &[board, list] : byBoard) {
        const bool first = list.front()->verdict == Verdict::Pass;
        const bool last = list.back()->verdict == Verdict::Pass;
        report.firstPassBoards += first;
        report.finalPassBoards += last;
        std::string name;
        for (const RunRow *run : list) name = run->variant.empty() ? name : run->variant;
        if (name.empty()) continue;
        YieldReport::Variant &v = variants[name];
        v.name = name;
        ++v.boards;
        v.firstPassBoards += first;
        v.finalPassBoards += last;
    }
    const auto share = [](int part, int whole) {
        return whole > 0 ? static_cast<double>(part) / whole : 0.0;
    };
    report.firstPassYield = share(report.firstPassBoards, report.boards);
    report.finalYield = share(report.finalPassBoards, report.boards);
    for (auto &[name, v] : variants) {
        v.firstPassYield = share(v.firstPassBoards, v.boards);
        v.finalYield = share(v.finalPassBoards, v.boards);
        report.variants.push_back(v);
    }
}

}  // namespace

YieldReport Store::Yield(int64_t sinceMs) const {
    YieldReport report;
    report.sinceMs = sinceMs;
    std::vector<RunRow> runs = Runs(sinceMs);
    CountRuns(runs, report);
    std::map<std::string, std::vector<double>> seconds;
    std::map<std::string, int> failures;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Statement s(db_,
                    "SELECT s.command, s.seconds FROM steps s JOIN runs r ON r.id = "
                    "s.run WHERE r.started_ms >= ? AND r.verdict IS NOT NULL");
        s.Bind(sinceMs);
        while (s.Step() == SQLITE_ROW) {
            const std::string command = s.Text(0);
            seconds[command].push_back(s.Real(1));
        }
        // Each repair's next judged run of its board.
        Statement retests(db_,
                          "SELECT (SELECT r.verdict FROM runs r WHERE r.board = p.board AND "
                          "r.started_ms > p.at_ms AND r.verdict IN ('PASS', 'FAIL') "
                          "ORDER BY r.started_ms, r.id LIMIT 1) FROM repairs p WHERE p.at_ms >= ?",
                          sinceMs);
        while (retests.Step() == SQLITE_ROW) {
            const std::string verdict = retests.Text(0);
            report.retestsAfterRepair += !verdict.empty();
            report.retestsPassed += verdict == "PASS";
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
