#include "Postgres.h"

#include <libpq-fe.h>

#include <chrono>
#include <memory>
#include <vector>

namespace station {

namespace {

constexpr char kSchema[] = R"(
CREATE TABLE IF NOT EXISTS boards(
  id TEXT PRIMARY KEY, first_seen_ms BIGINT NOT NULL);
CREATE TABLE IF NOT EXISTS runs(
  id BIGSERIAL PRIMARY KEY, uid TEXT NOT NULL UNIQUE, board TEXT NOT NULL DEFAULT '',
  station TEXT NOT NULL, slot TEXT NOT NULL, plan TEXT NOT NULL, plan_hash TEXT NOT NULL,
  operator TEXT NOT NULL DEFAULT '', started_ms BIGINT NOT NULL, ended_ms BIGINT,
  verdict TEXT, failed_step TEXT NOT NULL DEFAULT '', failed_reading TEXT NOT NULL DEFAULT '');
CREATE INDEX IF NOT EXISTS runs_board ON runs(board);
CREATE INDEX IF NOT EXISTS runs_started ON runs(started_ms);
CREATE TABLE IF NOT EXISTS steps(
  id BIGSERIAL PRIMARY KEY, run BIGINT NOT NULL REFERENCES runs(id), idx INTEGER NOT NULL,
  attempt INTEGER NOT NULL, command TEXT NOT NULL, reading TEXT NOT NULL, limits TEXT NOT NULL,
  verdict TEXT NOT NULL, seconds DOUBLE PRECISION NOT NULL, request TEXT NOT NULL,
  response TEXT NOT NULL, UNIQUE(run, idx, attempt));
)";

// A run's row as it stands now: a later entry for the same run carries the same or newer
// values, so an upsert in outbox order leaves the server with the last state. The verdict is
// never taken back once set (an entry sent again after a crash must not reopen a run).
constexpr char kUpsertRun[] =
    "INSERT INTO runs(uid, board, station, slot, plan, plan_hash, operator, started_ms, "
    "ended_ms, verdict, failed_step, failed_reading) "
    "VALUES($1, $2, $3, $4, $5, $6, $7, $8, NULLIF($9, '0')::BIGINT, NULLIF($10, ''), $11, $12) "
    "ON CONFLICT (uid) DO UPDATE SET board = EXCLUDED.board, "
    "ended_ms = COALESCE(runs.ended_ms, EXCLUDED.ended_ms), "
    "verdict = COALESCE(runs.verdict, EXCLUDED.verdict), "
    "failed_step = CASE WHEN runs.verdict IS NULL THEN EXCLUDED.failed_step "
    "ELSE runs.failed_step END, "
    "failed_reading = CASE WHEN runs.verdict IS NULL THEN EXCLUDED.failed_reading "
    "ELSE runs.failed_reading END";

constexpr char kInsertBoard[] =
    "INSERT INTO boards(id, first_seen_ms) VALUES($1, $2) ON CONFLICT (id) DO NOTHING";

constexpr char kInsertStep[] =
    "INSERT INTO steps(run, idx, attempt, command, reading, limits, verdict, seconds, request, "
    "response) SELECT id, $2, $3, $4, $5, $6, $7, $8, $9, $10 FROM runs WHERE uid = $1 "
    "ON CONFLICT (run, idx, attempt) DO NOTHING";

struct ResultDeleter {
    void operator()(PGresult *result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

}  // namespace

struct PostgresSender::Connection {
    PGconn *conn = nullptr;
    ~Connection() { PQfinish(conn); }
};

PostgresSender::PostgresSender(Store &store, std::string connection)
    : store_(store), connection_(std::move(connection)) {}

PostgresSender::~PostgresSender() {
    Stop();
    delete pg_;
}

void PostgresSender::Start() {
    if (!thread_.joinable()) thread_ = std::thread([this] { Loop(); });
}

void PostgresSender::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void PostgresSender::Wake() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        woken_ = true;
    }
    wake_.notify_all();
}

bool PostgresSender::Connect(std::string &error) {
    if (pg_ != nullptr && PQstatus(pg_->conn) == CONNECTION_OK) return true;
    delete pg_;
    pg_ = new Connection;
    // A server that is down must not hold the sender for long; it tries again later.
    std::string target = connection_;
    if (target.find("://") == std::string::npos) {
        target += " connect_timeout=3";
    } else {
        target +=
            target.find('?') == std::string::npos ? "?connect_timeout=3" : "&connect_timeout=3";
    }
    pg_->conn = PQconnectdb(target.c_str());
    if (PQstatus(pg_->conn) != CONNECTION_OK) {
        error = PQerrorMessage(pg_->conn);
        delete pg_;
        pg_ = nullptr;
        connected_ = false;
        return false;
    }
    Result quiet(PQexec(pg_->conn, "SET client_min_messages = warning"));
    Result schema(PQexec(pg_->conn, kSchema));
    if (PQresultStatus(schema.get()) != PGRES_COMMAND_OK) {
        error = PQresultErrorMessage(schema.get());
        delete pg_;
        pg_ = nullptr;
        return false;
    }
    connected_ = true;
    return true;
}

bool PostgresSender::SendOne(const OutboxItem &item, std::string &error) {
    auto run = [&](const char *sql, const std::vector<std::string> &params) {
        std::vector<const char *> values;
        for (const std::string &p : params) values.push_back(p.c_str());
        Result result(PQexecParams(pg_->conn, sql, static_cast<int>(values.size()), nullptr,
                                   values.data(), nullptr, nullptr, 0));
        if (PQresultStatus(result.get()) == PGRES_COMMAND_OK) return true;
        error = PQresultErrorMessage(result.get());
        return false;
    };
    if (item.kind == "run") {
        RunRecord record;
        if (!store_.Run(item.ref, record)) return true;  // nothing to send
        const RunRow &r = record.row;
        const std::string verdict = r.verdict == Verdict::None ? "" : VerdictName(r.verdict);
        Result begin(PQexec(pg_->conn, "BEGIN"));
        const bool ok =
            (r.board.empty() || run(kInsertBoard, {r.board, std::to_string(r.startedMs)})) &&
            run(kUpsertRun, {record.uid, r.board, r.station, r.slot, r.plan, r.planHash,
                             r.operatorName, std::to_string(r.startedMs), std::to_string(r.endedMs),
                             verdict, r.failedStep, r.failedReading});
        Result end(PQexec(pg_->conn, ok ? "COMMIT" : "ROLLBACK"));
        return ok && PQresultStatus(end.get()) == PGRES_COMMAND_OK;
    }
    StepRow step;
    RunRecord record;
    if (!store_.StepById(item.ref, step) || !store_.Run(step.runId, record)) return true;
    char seconds[32];
    snprintf(seconds, sizeof seconds, "%.6f", step.seconds);
    return run(kInsertStep,
               {record.uid, std::to_string(step.index), std::to_string(step.attempt), step.command,
                step.reading, step.limits, step.verdict, seconds, step.request, step.response});
}

bool PostgresSender::SendPending(std::string &error) {
    for (;;) {
        std::vector<OutboxItem> items = store_.Outbox(200);
        if (items.empty()) return true;
        if (!Connect(error)) return false;
        for (const OutboxItem &item : items) {
            if (!SendOne(item, error)) {
                // A broken connection is made again on the next try.
                if (PQstatus(pg_->conn) != CONNECTION_OK) connected_ = false;
                return false;
            }
            store_.OutboxDone(item.seq);
            if (onSent) onSent(item);
        }
    }
}

void PostgresSender::Loop() {
    using namespace std::chrono_literals;
    for (;;) {
        std::string error;
        const bool sent = SendPending(error);
        std::unique_lock<std::mutex> lock(mutex_);
        if (stopping_) return;
        // Commits wake it at once; a server that was down is tried again every second.
        if (sent) {
            wake_.wait(lock, [this] { return woken_ || stopping_; });
        } else {
            wake_.wait_for(lock, 1s, [this] { return stopping_; });
        }
        woken_ = false;
        if (stopping_) return;
    }
}

}  // namespace station
