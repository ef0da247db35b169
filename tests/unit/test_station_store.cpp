// The station's results store: each step committed as it ends, runs a crash left open marked
// aborted, yield and history, the outbox reaching a real PostgreSQL server exactly once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include "PgServer.h"
#include "Postgres.h"
#include "RunReport.h"
#include "Runs.h"
#include "Store.h"
#include "Text.h"

namespace {

using station::Store;
using station::Verdict;

struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/tvk-store-XXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};

station::StepRow Step(int64_t run, int index, const char *verdict, double seconds = 0.1) {
    return {run,     index, 1,   "step" + std::to_string(index), "reading", "", verdict,
            seconds, "3C",  "3E"};
}

int64_t Begin(Store &store, const std::string &slot, int64_t startedMs) {
    std::string error;
    const int64_t id =
        store.BeginRun(support::NewRun("line", slot, "plan", "h", "op", startedMs), error);
    EXPECT_NE(id, 0) << error;
    return id;
}

TEST(StationStore, EachStepIsCommittedAndAnOpenRunIsAbortedOnTheNextStart) {
    TempDir dir;
    const std::string path = dir.path + "/results.db";
    std::string error;
    int64_t run = 0;
    {
        auto store = Store::Open(path, false, error);
        ASSERT_TRUE(store) << error;
        EXPECT_FALSE(Store::Open(path, false, error)) << "a second station on the same file";
        // The file is held, not its name.
        ASSERT_EQ(symlink(path.c_str(), (dir.path + "/symlink.db").c_str()), 0);
        ASSERT_EQ(link(path.c_str(), (dir.path + "/hardlink.db").c_str()), 0);
        for (const char *other : {"/symlink.db", "/hardlink.db"})
            EXPECT_FALSE(Store::Open(dir.path + other, false, error)) << other;
        run = Begin(*store, "A", 1000);
        ASSERT_TRUE(store->AddStep(Step(run, 1, "PASS"), error)) << error;
        ASSERT_TRUE(store->SetBoard(run, "02:00:00:00:01:0a", 1000, error));
        ASSERT_TRUE(store->AddStep(Step(run, 2, "FAIL"), error));
        // Another reader sees both steps while the run is still open: they are committed.
        auto reader = Store::OpenForReading(path, error);
        ASSERT_TRUE(reader) << error;
        EXPECT_EQ(reader->Steps(run).size(), 2u);
        EXPECT_EQ(reader->Runs(0).at(0).verdict, Verdict::None);
    }  // the station ends without ending the run
    auto store = Store::Open(path, false, error);
    ASSERT_TRUE(store) << error;
    EXPECT_EQ(store->AbortedOnOpen(), 1);
    const auto history = store->History("02:00:00:00:01:0a");
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0].verdict, Verdict::Aborted);
    EXPECT_EQ(history[0].failedReading, station::kEndedUnexpectedly);
    EXPECT_EQ(store->Steps(run).size(), 2u);
}

TEST(StationStore, YieldCountsBoardsByTheirFirstAndLastPassOrFail) {
    TempDir dir;
    std::string error;
    auto store = Store::Open(dir.path + "/results.db", false, error);
    ASSERT_TRUE(store) << error;
    // Board X fails at step 2 then passes; board Y passes; a run that never read its board
    // fails; a stop aborts Y's next run and a lost port makes X's next one an ERROR: neither is
    // a board's result.
    const struct {
        const char *board, *slot;
        int64_t started;
        Verdict verdict;
    } runs[] = {{"X", "A", 1000, Verdict::Fail},    {"Y", "A", 2000, Verdict::Pass},
                {"X", "A", 3000, Verdict::Pass},    {"", "A", 4000, Verdict::Fail},
                {"Y", "B", 5000, Verdict::Aborted}, {"X", "B", 6000, Verdict::Error}};
    for (const auto &r : runs) {
        const int64_t id = Begin(*store, r.slot, r.started);
        if (*r.board) store->SetBoard(id, r.board, r.started, error);
        const bool pass = r.verdict == Verdict::Pass;
        store->AddStep(Step(id, 1, "PASS", 0.5), error);
        store->AddStep(Step(id, 2, pass ? "PASS" : "FAIL", 2.0), error);
        store->EndRun(id, r.verdict, r.started + 10, r.verdict == Verdict::Fail ? "step2" : "", "",
                      error);
    }
    const station::YieldReport all = store->Yield(0);
    EXPECT_EQ(all.runs, 6);
    EXPECT_EQ(all.boards, 2);
    EXPECT_EQ(all.unidentifiedRuns, 1);
    EXPECT_EQ(all.abortedRuns, 1);
    EXPECT_EQ(all.errorRuns, 1);
    EXPECT_EQ(all.errorsBySlot, (std::vector<std::pair<std::string, int>>{{"B", 1}}));
    EXPECT_EQ(all.firstPassBoards, 1);
    EXPECT_EQ(all.finalPassBoards, 2);
    ASSERT_EQ(all.failuresByStep.size(), 1u);
    EXPECT_EQ(all.failuresByStep[0].step, "step2");
    EXPECT_EQ(all.failuresByStep[0].failures, 2);
    EXPECT_EQ(all.slowestSteps.at(0).step, "step2");
    EXPECT_DOUBLE_EQ(all.slowestSteps.at(0).medianSeconds, 2.0);
    const station::YieldReport late = store->Yield(2500);
    EXPECT_EQ(late.runs, 4);
    EXPECT_EQ(store->History("X").size(), 3u);
}

TEST(StationStore, TextFromOutsideIsMadeValidUtf8) {
    const std::string bad = "\xef\xbf\xbd";  // U+FFFD for each byte of an ill-formed sequence
    const struct {
        std::string in, out;
    } cases[] = {
        {"Jos\xc3\xa9 \xf0\x9f\x98\x80", "Jos\xc3\xa9 \xf0\x9f\x98\x80"},  // valid: kept
        {"Jos\xe9", "Jos" + bad},                                          // Latin-1
        {"\xc0\xaf", bad + bad},                                           // overlong '/'
        {"\xed\xa0\x80", bad + bad + bad},                                 // a surrogate
        {"\xf4\x90\x80\x80", bad + bad + bad + bad},                       // above U+10FFFF
        {"ok\xe2\x82", "ok" + bad + bad},                                  // cut short
    };
    for (const auto &c : cases) {
        EXPECT_EQ(fixture::ToValidUtf8(c.in), c.out) << c.in;
        EXPECT_EQ(fixture::ValidUtf8(c.in), c.in == c.out) << c.in;
    }
    // A bad byte an older station stored still leaves the store as valid text (JSON included).
    TempDir dir;
    std::string error;
    auto store = Store::Open(dir.path + "/results.db", false, error);
    ASSERT_TRUE(store) << error;
    store->SetBoard(Begin(*store, "A", 1000), "B1", 1000, error);
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open((dir.path + "/results.db").c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, "UPDATE runs SET operator = CAST(X'4A6F73E9' AS TEXT)", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    std::string json;
    EXPECT_NO_THROW(json =
                        station::FormatHistory("B1", store->History("B1"), station::Format::Json));
    EXPECT_NE(json.find("Jos" + bad), std::string::npos) << json;
}

TEST(StationStore, EachTargetHasItsOwnOutboxKeptWithTheRunsInOneTransaction) {
    TempDir dir;
    const std::string path = dir.path + "/results.db";
    // A store from before delivery targets: what waits in it is PostgreSQL's.
    {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db,
                               "CREATE TABLE outbox(seq INTEGER PRIMARY KEY, kind TEXT NOT NULL, "
                               "ref INTEGER NOT NULL); INSERT INTO outbox(kind, ref) "
                               "VALUES('run', 99);",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    const std::vector<station::OutboxTarget> targets = {
        {station::kPostgresTarget, station::OutboxKinds::Rows},
        {station::kCfxTarget, station::OutboxKinds::Edges}};
    std::string error;
    auto store = Store::Open(path, targets, error);
    ASSERT_TRUE(store) << error;
    const int64_t run = Begin(*store, "A", 1000);
    ASSERT_TRUE(store->SetBoard(run, "B1", 1000, error));
    ASSERT_TRUE(store->AddStep(Step(run, 1, "PASS"), error));
    ASSERT_TRUE(store->EndRun(run, Verdict::Pass, 2000, "", "", error));
    ASSERT_TRUE(store->Enqueue(station::kCfxTarget, "station-state", "{\"on\":1}", error));
    auto kinds = [&](const char *target) {
        std::string out;
        for (const station::OutboxItem &item : store->Outbox(target, 50))
            out += item.kind + ":" + std::to_string(item.ref) + item.payload + " ";
        return out;
    };
    const std::string r = std::to_string(run);
    EXPECT_EQ(kinds(station::kPostgresTarget),
              "run:99 run:" + r + " run:" + r + " step:1 run:" + r + " ");
    EXPECT_EQ(kinds(station::kCfxTarget),
              "run-begun:" + r + " run-ended:" + r + " station-state:0{\"on\":1} ");

    // One target's progress and refusals leave the other's queue as it was.
    const auto cfx = store->Outbox(station::kCfxTarget, 50);
    ASSERT_TRUE(store->OutboxDone({cfx[0].seq}, error)) << error;
    ASSERT_TRUE(store->SetAside(cfx[1].seq, "no such unit", error)) << error;
    EXPECT_EQ(kinds(station::kCfxTarget), "station-state:0{\"on\":1} ");
    const station::OutboxStatus state = store->OutboxState(station::kCfxTarget);
    EXPECT_EQ(state.waiting, 1);
    EXPECT_EQ(state.setAside, 1);
    EXPECT_GT(state.oldestMs, 0);
    EXPECT_EQ(store->OutboxState(station::kPostgresTarget).waiting, 5);

    // A run a crash left open ends with its run-ended entry in the same commit.
    const int64_t open =
        store->BeginRun(support::NewRun("line", "B", "plan", "h", "Jos\xe9", 3000), error);
    store.reset();
    store = Store::Open(path, targets, error);
    ASSERT_TRUE(store) << error;
    EXPECT_EQ(store->Outbox(station::kCfxTarget, 50).back().kind, "run-ended");
    EXPECT_EQ(store->Outbox(station::kCfxTarget, 50).back().ref, open);
    EXPECT_EQ(store->Runs(3000).at(0).operatorName, "Jos\xef\xbf\xbd");
}

TEST(StationStore, OutboxReachesPostgresExactlyOnce) {
    tvk_test::PgServer pg;
    ASSERT_TRUE(pg.ok()) << pg.error();
    TempDir dir;
    const std::string path = dir.path + "/results.db";
    std::string error;
    auto store = Store::Open(path, true, error);
    ASSERT_TRUE(store) << error;
    station::PostgresSender sender(*store, pg.Connection());

    const int64_t run = Begin(*store, "A", 1000);
    store->SetBoard(run, "B1", 1000, error);
    store->AddStep(Step(run, 1, "PASS"), error);
    ASSERT_TRUE(sender.SendPending(error)) << error;
    EXPECT_TRUE(store->Outbox("postgres", 10).empty());

    // The server goes away: results wait in the outbox, and go when it is back.
    ASSERT_TRUE(pg.Stop());
    store->AddStep(Step(run, 2, "PASS"), error);
    store->EndRun(run, Verdict::Pass, 2000, "", "", error);
    EXPECT_FALSE(sender.SendPending(error));
    EXPECT_EQ(store->Outbox("postgres", 10).size(), 2u);
    // The operator sees the backlog and the server's reason while it lasts.
    station::OutboxStatus state = sender.Status();
    EXPECT_EQ(state.waiting, 2);
    EXPECT_GT(state.oldestMs, 0);
    EXPECT_FALSE(state.lastError.empty());
    ASSERT_TRUE(pg.Start());
    ASSERT_TRUE(sender.SendPending(error)) << error;

    // A crash between the server's commit and the outbox's delete sends everything again.
    {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db,
                               "INSERT INTO outbox(kind, ref) SELECT 'run', id FROM runs;"
                               "INSERT INTO outbox(kind, ref) SELECT 'step', id FROM steps;",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    ASSERT_TRUE(sender.SendPending(error)) << error;
    EXPECT_EQ(pg.Query("SELECT count(*) FROM runs"), "1\n");
    EXPECT_EQ(pg.Query("SELECT board, verdict, ended_ms FROM runs"), "B1|PASS|2000\n");
    EXPECT_EQ(pg.Query("SELECT idx, attempt FROM steps ORDER BY idx"), "1|1\n2|1\n");
    EXPECT_EQ(pg.Query("SELECT id FROM boards"), "B1\n");
    EXPECT_EQ(sender.Status().lastError, "");
}

TEST(StationStore, APostgresRefusalIsSetAsideAndAHungServerHoldsNoStop) {
    tvk_test::PgServer pg;
    ASSERT_TRUE(pg.ok()) << pg.error();
    TempDir dir;
    std::string error;
    auto store = Store::Open(dir.path + "/results.db", true, error);
    ASSERT_TRUE(store) << error;
    auto sender = std::make_unique<station::PostgresSender>(*store, pg.Connection());
    // What station check prints: the server's own reason.
    std::string reason;
    EXPECT_TRUE(station::CheckPostgres(pg.Connection(), reason)) << reason;
    EXPECT_FALSE(station::CheckPostgres(pg.Connection() + " dbname=nope", reason));
    EXPECT_NE(reason.find("\"nope\" does not exist"), std::string::npos) << reason;

    // A row the server refuses for good (here a rule of the server's own) does not hold the
    // rows behind it; a Latin-1 operator name arrives mended.
    const int64_t run =
        store->BeginRun(support::NewRun("line", "A", "plan", "h", "Jos\xe9", 1000), error);
    ASSERT_TRUE(sender->SendPending(error)) << error;
    pg.Query("ALTER TABLE steps ADD CONSTRAINT sane CHECK (reading <> 'refused')");
    station::StepRow refused = Step(run, 1, "PASS");
    refused.reading = "refused";
    store->AddStep(refused, error);
    store->AddStep(Step(run, 2, "PASS"), error);
    store->EndRun(run, Verdict::Pass, 2000, "", "", error);
    ASSERT_TRUE(sender->SendPending(error)) << error;
    EXPECT_EQ(pg.Query("SELECT operator, verdict FROM runs"), "Jos\xef\xbf\xbd|PASS\n");
    EXPECT_EQ(pg.Query("SELECT idx FROM steps"), "2\n");
    station::OutboxStatus state = sender->Status();
    EXPECT_EQ(state.waiting, 0);
    EXPECT_EQ(state.setAside, 1);
    EXPECT_NE(state.lastError.find("sane"), std::string::npos) << state.lastError;

    // A server whose processes are stopped: the stop takes its grace and leaves the entry.
    sender->Start();
    EXPECT_TRUE(pg.Signal(SIGSTOP));  // no ASSERT before SIGCONT: the server must go on
    store->AddStep(Step(run, 3, "PASS"), error);
    sender->Wake();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_FALSE(sender->Stop(std::chrono::milliseconds(500)));
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5));
    EXPECT_TRUE(pg.Signal(SIGCONT));
    EXPECT_EQ(store->OutboxState(station::kPostgresTarget).waiting, 1);
    sender = std::make_unique<station::PostgresSender>(*store, pg.Connection());
    ASSERT_TRUE(sender->SendPending(error)) << error;
    EXPECT_EQ(pg.Query("SELECT idx FROM steps ORDER BY idx"), "2\n3\n");
}

}  // namespace
