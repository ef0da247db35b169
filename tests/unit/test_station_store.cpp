// The station's results store: each step committed as it ends, runs a crash left open marked
// aborted, yield and history, the outbox reaching a real PostgreSQL server exactly once.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include "PgServer.h"
#include "Postgres.h"
#include "Store.h"

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
    const int64_t id = store.BeginRun({"line", slot, "plan", "h", "op", startedMs}, error);
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
    EXPECT_EQ(store->Steps(run).size(), 2u);
}

TEST(StationStore, YieldCountsBoardsByTheirFirstAndLastRun) {
    TempDir dir;
    std::string error;
    auto store = Store::Open(dir.path + "/results.db", false, error);
    ASSERT_TRUE(store) << error;
    // Board X fails at step 2 then passes; board Y passes; a run that never read its board fails.
    const struct {
        const char *board;
        int64_t started;
        const char *step2;
    } runs[] = {{"X", 1000, "FAIL"}, {"Y", 2000, "PASS"}, {"X", 3000, "PASS"}, {"", 4000, "FAIL"}};
    for (const auto &r : runs) {
        const int64_t id = Begin(*store, "A", r.started);
        if (*r.board) store->SetBoard(id, r.board, r.started, error);
        store->AddStep(Step(id, 1, "PASS", 0.5), error);
        store->AddStep(Step(id, 2, r.step2, 2.0), error);
        const bool pass = std::string(r.step2) == "PASS";
        store->EndRun(id, pass ? Verdict::Pass : Verdict::Fail, r.started + 10, pass ? "" : "step2",
                      "", error);
    }
    const station::YieldReport all = store->Yield(0);
    EXPECT_EQ(all.runs, 4);
    EXPECT_EQ(all.boards, 3);
    EXPECT_EQ(all.firstPassBoards, 1);
    EXPECT_EQ(all.finalPassBoards, 2);
    ASSERT_EQ(all.failuresByStep.size(), 1u);
    EXPECT_EQ(all.failuresByStep[0].step, "step2");
    EXPECT_EQ(all.failuresByStep[0].failures, 2);
    EXPECT_EQ(all.slowestSteps.at(0).step, "step2");
    EXPECT_DOUBLE_EQ(all.slowestSteps.at(0).medianSeconds, 2.0);
    const station::YieldReport late = store->Yield(2500);
    EXPECT_EQ(late.runs, 2);
    EXPECT_EQ(store->History("X").size(), 2u);
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
    EXPECT_TRUE(store->Outbox(10).empty());

    // The server goes away: results wait in the outbox, and go when it is back.
    ASSERT_TRUE(pg.Stop());
    store->AddStep(Step(run, 2, "PASS"), error);
    store->EndRun(run, Verdict::Pass, 2000, "", "", error);
    EXPECT_FALSE(sender.SendPending(error));
    EXPECT_EQ(store->Outbox(10).size(), 2u);
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
}

}  // namespace
