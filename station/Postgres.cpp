#include "Postgres.h"

#include <libpq-fe.h>
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <functional>
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
ALTER TABLE runs ADD COLUMN IF NOT EXISTS variant TEXT NOT NULL DEFAULT '',
  ADD COLUMN IF NOT EXISTS station_version TEXT NOT NULL DEFAULT '',
  ADD COLUMN IF NOT EXISTS agent_version TEXT NOT NULL DEFAULT '',
  ADD COLUMN IF NOT EXISTS port TEXT NOT NULL DEFAULT '';
CREATE TABLE IF NOT EXISTS images(
  run BIGINT NOT NULL REFERENCES runs(id), step INTEGER NOT NULL, path TEXT NOT NULL,
  sha256 TEXT NOT NULL, size BIGINT NOT NULL, UNIQUE(run, step));
CREATE TABLE IF NOT EXISTS repairs(
  uid TEXT PRIMARY KEY, board TEXT NOT NULL, at_ms BIGINT NOT NULL, note TEXT NOT NULL,
  operator TEXT NOT NULL DEFAULT '');
)";

// A run's row as it stands now: a later entry for the same run carries the same or newer
// values, so an upsert in outbox order leaves the server with the last state. The verdict is
// never taken back once set (an entry sent again after a crash must not reopen a run).
constexpr char kUpsertRun[] =
    "INSERT INTO runs(uid, board, station, slot, plan, plan_hash, operator, started_ms, "
    "ended_ms, verdict, failed_step, failed_reading, variant, station_version, agent_version, "
    "port) "
    "VALUES($1, $2, $3, $4, $5, $6, $7, $8, NULLIF($9, '0')::BIGINT, NULLIF($10, ''), $11, $12, "
    "$13, $14, $15, $16) "
    "ON CONFLICT (uid) DO UPDATE SET board = EXCLUDED.board, plan = EXCLUDED.plan, "
    "plan_hash = EXCLUDED.plan_hash, variant = EXCLUDED.variant, "
    "agent_version = EXCLUDED.agent_version, "
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

constexpr char kUpsertImage[] =
    "INSERT INTO images(run, step, path, sha256, size) SELECT id, $2, $3, $4, $5 FROM runs "
    "WHERE uid = $1 ON CONFLICT (run, step) DO UPDATE SET path = EXCLUDED.path, "
    "sha256 = EXCLUDED.sha256, size = EXCLUDED.size";

constexpr char kInsertRepair[] =
    "INSERT INTO repairs(uid, board, at_ms, note, operator) VALUES($1, $2, $3, $4, $5) "
    "ON CONFLICT (uid) DO NOTHING";

using Result = std::unique_ptr<PGresult, ReleaseWith<PQclear>>;
using Clock = std::chrono::steady_clock;

// A server that stops answering (its processes stopped, a cable pulled) fails the statement
// after this; the server's own statement_timeout ends it on its side too.
constexpr auto kAnswerWithin = std::chrono::seconds(10);
constexpr auto kConnectWithin = std::chrono::seconds(3);

// Ours come first: what the station file's connection string says wins. Keepalives find a
// dead TCP peer while idle; UTF8 so the server checks text as the store keeps it.
constexpr const char *kConnectKeys[] = {
    "connect_timeout",  "keepalives",      "keepalives_idle", "keepalives_interval",
    "keepalives_count", "client_encoding", "dbname",          nullptr};

// Data that the server refuses as it is (a bad value, a broken constraint): sending it again
// cannot succeed.
bool RefusedForGood(const std::string &sqlstate) {
    return sqlstate.rfind("22", 0) == 0 || sqlstate.rfind("23", 0) == 0;
}

std::string Trimmed(const char *text) {
    std::string out = text != nullptr ? text : "";
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

}  // namespace

// One connection; every wait on the server goes through `wait`, so none is unbounded.
class PgLink {
  public:
    using Wait = std::function<bool(int fd, short events, Clock::time_point until)>;
    explicit PgLink(Wait wait) : wait_(std::move(wait)) {}

    bool Ok() const { return conn_ && PQstatus(conn_.get()) == CONNECTION_OK; }

    bool Open(const std::string &connection, std::string &error) {
        const std::string within = std::to_string(kConnectWithin.count());
        const char *values[] = {within.c_str(),     "1",    "10", "5", "3", "UTF8",
                                connection.c_str(), nullptr};
        conn_.reset(PQconnectStartParams(kConnectKeys, values, 1));
        if (!conn_ || PQstatus(conn_.get()) == CONNECTION_BAD) return Fail(error);
        const Clock::time_point until = Clock::now() + kConnectWithin;
        for (PostgresPollingStatusType state = PGRES_POLLING_WRITING; state != PGRES_POLLING_OK;
             state = PQconnectPoll(conn_.get())) {
            if (state == PGRES_POLLING_FAILED) return Fail(error);
            const short events = state == PGRES_POLLING_READING ? POLLIN : POLLOUT;
            if (!wait_(PQsocket(conn_.get()), events, until)) {
                error = "PostgreSQL did not answer the connection within " + within + " s";
                conn_.reset();
                return false;
            }
        }
        const std::string settings =
            "SET client_min_messages = warning; SET statement_timeout = " +
            std::to_string(std::chrono::milliseconds(kAnswerWithin).count());
        return Exec(settings.c_str(), {}, error);
    }

    // One statement with parameters, or several without; false with the server's message and
    // its SQLSTATE. A server that does not answer in time loses the connection.
    bool Exec(const char *sql, const std::vector<std::string> &params, std::string &error,
              std::string *sqlstate = nullptr) {
        std::vector<const char *> values;
        for (const std::string &p : params) values.push_back(p.c_str());
        const int sent = params.empty()
                             ? PQsendQuery(conn_.get(), sql)
                             : PQsendQueryParams(conn_.get(), sql, static_cast<int>(values.size()),
                                                 nullptr, values.data(), nullptr, nullptr, 0);
        if (!sent || !Await(error)) return Fail(error);
        bool ok = true;
        while (Result result{PQgetResult(conn_.get())}) {
            const ExecStatusType status = PQresultStatus(result.get());
            if (ok && status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
                ok = false;
                error = Trimmed(PQresultErrorMessage(result.get()));
                if (sqlstate)
                    *sqlstate = Trimmed(PQresultErrorField(result.get(), PG_DIAG_SQLSTATE));
            }
            if (PQisBusy(conn_.get()) && !Await(error)) return Fail(error);
        }
        return ok;
    }

  private:
    // Until the whole answer is in.
    bool Await(std::string &error) {
        const Clock::time_point until = Clock::now() + kAnswerWithin;
        int flushed;
        while ((flushed = PQflush(conn_.get())) == 1) {
            if (!wait_(PQsocket(conn_.get()), POLLIN | POLLOUT, until)) return Late(error);
            if (!PQconsumeInput(conn_.get())) return false;
        }
        if (flushed < 0) return false;
        while (PQisBusy(conn_.get())) {
            if (!wait_(PQsocket(conn_.get()), POLLIN, until)) return Late(error);
            if (!PQconsumeInput(conn_.get())) return false;
        }
        return true;
    }
    bool Late(std::string &error) {
        error = "PostgreSQL did not answer within " + std::to_string(kAnswerWithin.count()) +
                " s (or the station is stopping)";
        conn_.reset();
        return false;
    }
    bool Fail(std::string &error) {
        if (error.empty()) error = conn_ ? Trimmed(PQerrorMessage(conn_.get())) : "out of memory";
        if (error.empty()) error = "PostgreSQL connection failed";
        return false;
    }

    std::unique_ptr<PGconn, ReleaseWith<PQfinish>> conn_;
    Wait wait_;
};

PostgresSender::PostgresSender(Store &store, std::string connection)
    : OutboxSender(store, kPostgresTarget), connection_(std::move(connection)) {}

PostgresSender::~PostgresSender() {
    Stop();
}

bool PostgresSender::Connect(std::string &error) {
    if (link_ && link_->Ok()) return true;
    link_ = std::make_unique<PgLink>([this](int fd, short events, Clock::time_point until) {
        return WaitFd(fd, events, until);
    });
    if (!link_->Open(connection_, error) || !link_->Exec(kSchema, {}, error)) {
        link_.reset();
        return false;
    }
    return true;
}

bool PostgresSender::SendOne(const OutboxItem &item, std::string &error, bool &refused) {
    std::string sqlstate;
    auto run = [&](const char *sql, const std::vector<std::string> &params) {
        if (link_->Exec(sql, params, error, &sqlstate)) return true;
        refused = RefusedForGood(sqlstate);
        return false;
    };
    if (item.kind == "run") {
        RunRecord record;
        if (!store_.Run(item.ref, record)) return true;  // nothing to send
        const RunRow &r = record.row;
        const std::string verdict = r.verdict == Verdict::None ? "" : VerdictName(r.verdict);
        bool ok =
            (r.board.empty() || run(kInsertBoard, {r.board, std::to_string(r.startedMs)})) &&
            run(kUpsertRun,
                {record.uid, r.board, r.station, r.slot, r.plan, r.planHash, r.operatorName,
                 std::to_string(r.startedMs), std::to_string(r.endedMs), verdict, r.failedStep,
                 r.failedReading, r.variant, r.stationVersion, r.agentVersion, r.port});
        for (const ImageRecord &i : r.images) {
            ok = ok && run(kUpsertImage, {record.uid, std::to_string(i.step), i.path, i.sha256,
                                          std::to_string(i.size)});
        }
        return ok;
    }
    if (item.kind == "repair") {
        RepairRow repair;
        std::string uid;
        if (!store_.RepairById(item.ref, repair, uid)) return true;
        return run(kInsertRepair, {uid, repair.board, std::to_string(repair.atMs), repair.note,
                                   repair.operatorName});
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

// The batch is one server transaction. An entry refused for good rolls it back; the entries
// before it are sent again on their own and it is reported for setting aside.
OutboxSender::Batch PostgresSender::Send(const std::vector<OutboxItem> &items) {
    Batch batch;
    bool refused = false;
    if (!link_->Exec("BEGIN", {}, batch.error)) return batch;
    size_t sent = 0;
    while (sent < items.size() && SendOne(items[sent], batch.error, refused)) ++sent;
    if (sent == items.size()) {
        if (link_->Exec("COMMIT", {}, batch.error)) batch.accepted = sent;
        return batch;
    }
    std::string ignored;
    if (link_ && link_->Ok()) link_->Exec("ROLLBACK", {}, ignored);
    if (!refused || !link_ || !link_->Ok()) return batch;
    const std::string why = batch.error;
    if (sent > 0) {
        batch = Send({items.begin(), items.begin() + static_cast<long>(sent)});
        if (batch.accepted < sent) return batch;
    }
    batch.refused = true;
    batch.error = why;
    return batch;
}

bool CheckPostgres(const std::string &connection, std::string &reason) {
    PgLink link([](int fd, short events, Clock::time_point until) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        pollfd watch{fd, events, 0};
        return left > 0 && poll(&watch, 1, static_cast<int>(left)) > 0;
    });
    return link.Open(connection, reason) && link.Exec("SELECT 1", {}, reason);
}

}  // namespace station
