// Which boards go to repair, host lines in plans, a station file's variants, and what the store
// keeps of what tested each board.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "Plan.h"
#include "Runs.h"
#include "StationFile.h"
#include "Store.h"
#include "TempDir.h"
#include "Trace.h"

namespace {

using station::Verdict;
constexpr Verdict P = Verdict::Pass, F = Verdict::Fail, E = Verdict::Error, A = Verdict::Aborted;

TEST(RepairRefusal, CountsOnlyTheBoardsOwnFailuresSinceItsLastPass) {
    const std::string refused = "board B7: 3 failures, send to repair";
    struct Case {
        std::vector<Verdict> newestFirst;
        int maxFailures;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {{F, F, F}, 3, refused},
        {{F, F}, 3, ""},                // not yet
        {{F, F, P, F}, 3, ""},          // a pass between: the run of failures restarts
        {{F, E, F, A, F}, 3, refused},  // the station's errors and stops are not the board's
        {{E, E, E, E}, 3, ""},
        {{F, F, F, F, F}, 0, ""},  // no limit set
        {{F}, 1, "board B7: 1 failure, send to repair"},
        {{}, 2, ""},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(station::RepairRefusal("B7", c.newestFirst, c.maxFailures), c.expected)
            << c.newestFirst.size() << " runs, limit " << c.maxFailures;
    }
}

TEST(PlanHostLines, ArgvLimitsAndErrors) {
    // Each word stays one argument: a value with blanks or shell syntax is not split or run.
    const fixture::Variables vars = {{"IMAGE", "fw 5.0.img"}, {"CHIP", "$(touch x)"}};
    fixture::Plan plan;
    std::vector<std::string> errors;
    ASSERT_TRUE(
        fixture::ParsePlan("host flashrom -p dummy:image=${CHIP} -w ${IMAGE} "
                           "image=${IMAGE} timeout_ms=5000 expect=VERIFIED\nhost true\n",
                           "p", vars, plan, errors))
        << errors.front();
    const fixture::PlanStep &flash = plan.steps.at(0);
    EXPECT_EQ(flash.host, (std::vector<std::string>{"flashrom", "-p", "dummy:image=$(touch x)",
                                                    "-w", "fw 5.0.img"}));
    EXPECT_EQ(flash.image, "fw 5.0.img");
    EXPECT_EQ(flash.request.timeoutMs, 5000);
    EXPECT_EQ(flash.expectation.expect, "VERIFIED");
    EXPECT_EQ(plan.steps.at(1).request.timeoutMs, fixture::kHostTimeoutMs);

    const struct {
        const char *line, *says;
    } bad[] = {
        {"host", "line 1: host needs a program"},
        {"host true min=1", "line 1: a host step takes only"},
        {"host true identity=yes", "line 1: a host step takes only"},
        {"version image=fw.img", "line 1: image= names what a host step programs"},
        {"host true image=", "line 1: image= needs the file"},
    };
    for (const auto &c : bad) {
        EXPECT_FALSE(fixture::ParsePlan(c.line, "p", plan, errors)) << c.line;
        ASSERT_FALSE(errors.empty()) << c.line;
        EXPECT_EQ(errors.front().rfind(c.says, 0), 0u) << errors.front();
    }
}

TEST(PlanHostLines, SecretValuesAreMaskedInEveryStepsText) {
    const fixture::Variables vars = {{"PSK", "pass=word1"}, {"KEY", "k3y"}};
    fixture::Plan plan;
    std::vector<std::string> errors;
    ASSERT_TRUE(fixture::ParsePlan("wifi LAB --psk ${PSK}\nhost unlock ${PSK} --key ${KEY}x\n", "p",
                                   vars, plan, errors));
    // A passphrase is secret wherever the plan uses it; other values only once named.
    EXPECT_EQ(plan.steps[1].text, "host unlock *** --key k3yx");
    fixture::AddSecrets(plan, {"k3y", "", "pass=word1"});
    EXPECT_EQ(plan.steps[1].text, "host unlock *** --key ***x");
    EXPECT_EQ(plan.steps[1].host,
              (std::vector<std::string>{"unlock", "pass=word1", "--key", "k3yx"}));
    EXPECT_EQ(plan.secrets, (std::vector<std::string>{"pass=word1", "k3y"}));
    // The longest first, so a secret holding another is masked whole.
    EXPECT_EQ(fixture::MaskValues("ab abc abcd", {"ab", "abc"}), "*** *** ***d");

    station::StationConfig config;
    config.secrets = {"KEY", "UNSET"};
    EXPECT_EQ(station::SecretValues(config, vars), (std::vector<std::string>{"k3y"}));
}

TEST(PlanHostLines, RunByTheCallerOnly) {
    fixture::Plan plan;
    std::vector<std::string> errors;
    ASSERT_TRUE(fixture::ParsePlan("host flash-it\n", "p", plan, errors));
    const fixture::Transport none = [](const fixture::Request &) { return fixture::Exchange{}; };
    fixture::RunOptions options;
    // The fixture program has no host to run it on.
    EXPECT_EQ(fixture::RunPlan(plan, none, options).at(0).result.outcome, fixture::Outcome::Error);
    std::vector<std::string> ran;
    options.host = [&](size_t, const fixture::PlanStep &step) {
        ran = step.host;
        fixture::Result result;
        result.outcome = fixture::Outcome::Pass;
        return result;
    };
    EXPECT_EQ(fixture::RunPlan(plan, none, options).at(0).result.outcome, fixture::Outcome::Pass);
    EXPECT_EQ(ran, std::vector<std::string>{"flash-it"});
}

TEST(StationVariants, PlansVariablesAndErrors) {
    support::TempDir folder("tvk-variants");
    constexpr char kTop[] = "name = \"L\"\nplan = \"id.plan\"\n";
    constexpr char kSlot[] =
        "vars = { V = \"station\" }\n"
        "[[slot]]\nname = \"A\"\nport = \"tty\"\nvars = { S = \"slot\" }\n";
    const std::string good = std::string(kTop) + "max_failures = 3\n" + kSlot +
                             "[[variant]]\nname = \"TVK\"\nplan = \"t.plan\"\n"
                             "vars = { V = \"tvk\", S = \"tvk\" }\n"
                             "[[variant]]\nname = \"RDMX\"\nplan = \"r.plan\"\n";
    station::StationConfig config;
    std::string error;
    ASSERT_TRUE(station::LoadStationFile(folder.Write("good.toml", good), config, error)) << error;
    ASSERT_EQ(config.variants.size(), 2u);
    EXPECT_EQ(config.maxFailures, 3);
    EXPECT_EQ(config.variants[1].planPath, folder.Path("r.plan"));
    // Matched as the board reads it, whatever the case; an unnamed type has no plan.
    EXPECT_EQ(station::FindVariant(config, "tvk"), &config.variants[0]);
    EXPECT_EQ(station::FindVariant(config, "RDMX"), &config.variants[1]);
    EXPECT_EQ(station::FindVariant(config, "TVK2"), nullptr);
    EXPECT_EQ(station::FindVariant(config, ""), nullptr);
    // The variant's variables win over the station's, the slot's over both.
    const fixture::Variables vars =
        station::SlotVariables(config, config.slots[0], &config.variants[0]);
    EXPECT_EQ(vars.at("V"), "tvk");
    EXPECT_EQ(vars.at("S"), "slot");
    EXPECT_EQ(station::SlotVariables(config, config.slots[0]).at("V"), "station");

    const struct {
        std::string text;
        const char *says;
    } bad[] = {
        {std::string(kTop) + "[[variant]]\nname = \"T\"\nplan = \"t\"\n[[variant]]\nname = " +
             "\"t\"\nplan = \"u\"\n" + kSlot,
         ":7: variant.name: 't' twice"},
        {std::string(kTop) + "[[variant]]\nname = \"T\"\n" + kSlot, "plan: missing"},
        {std::string(kTop) + "[[variant]]\nname = \"T\"\nplan = \"t\"\nplna = 1\n" + kSlot,
         ":6: variant.plna: unknown key"},
        {std::string(kTop) + "max_failures = 0\n" + kSlot, ":3: max_failures: a whole number"},
        {std::string(kTop) + "max_failures = \"3\"\n" + kSlot, ":3: max_failures: a whole number"},
        {std::string(kTop) + "variant = 1\n" + kSlot, ":3: variant: give one [[variant]]"},
    };
    for (const auto &c : bad) {
        EXPECT_FALSE(station::LoadStationFile(folder.Write("bad.toml", c.text), config, error))
            << c.text;
        EXPECT_NE(error.find(c.says), std::string::npos) << error << " / " << c.says;
    }
}

TEST(StoreTrace, WhatTestedTheBoardRepairsAndYieldPerVariant) {
    using station::Verdict;
    support::TempDir folder("tvk-trace");
    const std::string path = folder.Path("results.db");
    std::string error;
    auto store = station::Store::Open(path, true, error);
    ASSERT_TRUE(store) << error;
    const auto run = [&](const std::string &board, const std::string &variant, Verdict verdict,
                         int64_t at) {
        station::RunRow row = support::NewRun("L", "A", "identify", "h1", "ana", at);
        row.stationVersion = "v1.2-3-gabc";
        row.port = "/dev/ttyS1";
        const int64_t id = row.id = store->BeginRun(row, error);
        row.plan = "identify+" + variant;
        row.planHash = "h1+h2";
        row.variant = variant;
        row.agentVersion = "5.0.0";
        row.images = {{3, "fw.img", std::string(64, 'a'), 16777216}};
        EXPECT_TRUE(store->SetBoard(id, board, at, error) && store->SetTrace(row, error) &&
                    store->EndRun(id, verdict, at + 10, "", "", error))
            << error;
    };
    run("B1", "TVK", Verdict::Fail, 1000);
    run("B1", "TVK", Verdict::Error, 2000);  // the station's fault: not counted against B1
    run("B1", "TVK", Verdict::Fail, 3000);
    run("B2", "TVK", Verdict::Pass, 4000);
    run("B3", "RDMX", Verdict::Fail, 5000);
    run("B3", "RDMX", Verdict::Pass, 6000);

    const std::vector<station::RunRow> history = store->History("B1");
    ASSERT_EQ(history.size(), 3u);
    const station::RunRow &r = history[0];
    EXPECT_EQ(r.plan + " " + r.planHash + " " + r.variant + " " + r.stationVersion + " " +
                  r.agentVersion + " " + r.port + " " + r.operatorName,
              "identify+TVK h1+h2 TVK v1.2-3-gabc 5.0.0 /dev/ttyS1 ana");
    ASSERT_EQ(r.images.size(), 1u);
    EXPECT_EQ(r.images[0].step, 3);
    EXPECT_EQ(r.images[0].size, 16777216u);
    EXPECT_EQ(store->VerdictsSinceRepair("B1"),
              (std::vector<Verdict>{Verdict::Fail, Verdict::Error, Verdict::Fail}));

    // Queued for PostgreSQL with the repair (`station repair` from another process: e2e).
    ASSERT_TRUE(store->AddRepair({0, "B1", 3500, "replaced U12", "Ben"}, error)) << error;
    EXPECT_TRUE(store->VerdictsSinceRepair("B1").empty());
    const std::vector<station::RepairRow> repairs = store->Repairs("B1");
    ASSERT_EQ(repairs.size(), 1u);
    EXPECT_EQ(repairs[0].note + " " + repairs[0].operatorName, "replaced U12 Ben");
    EXPECT_EQ(store->Outbox(station::kPostgresTarget, 100).back().kind, "repair");
    run("B1", "TVK", Verdict::Pass, 7000);

    const station::YieldReport y = store->Yield(0);
    ASSERT_EQ(y.variants.size(), 2u);
    const auto counts = [](const station::YieldReport::Variant &v) {
        return v.name + " " + std::to_string(v.boards) + " " + std::to_string(v.firstPassBoards) +
               " " + std::to_string(v.finalPassBoards);
    };
    EXPECT_EQ(counts(y.variants[0]), "RDMX 1 0 1");
    EXPECT_EQ(counts(y.variants[1]), "TVK 2 1 2");
    EXPECT_DOUBLE_EQ(y.variants[1].firstPassYield, 0.5);
    EXPECT_EQ(y.retestsAfterRepair, 1);
    EXPECT_EQ(y.retestsPassed, 1);
}

TEST(StoreTrace, AStoreFromBeforeTraceabilityGainsItsColumns) {
    support::TempDir folder("tvk-trace-old");
    const std::string path = folder.Path("old.db");
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE runs(id INTEGER PRIMARY KEY, uid TEXT NOT NULL UNIQUE, "
                           "board TEXT NOT NULL DEFAULT '', station TEXT NOT NULL, slot TEXT NOT "
                           "NULL, plan TEXT NOT NULL, plan_hash TEXT NOT NULL, operator TEXT NOT "
                           "NULL DEFAULT '', started_ms INTEGER NOT NULL, ended_ms INTEGER, "
                           "verdict TEXT, failed_step TEXT NOT NULL DEFAULT '', failed_reading "
                           "TEXT NOT NULL DEFAULT ''); INSERT INTO runs(uid, board, station, slot, "
                           "plan, plan_hash, started_ms, ended_ms, verdict) VALUES('u', 'B9', "
                           "'L', 'A', 'p', 'h', 1, 2, 'PASS')",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    std::string error;
    auto store = station::Store::Open(path, false, error);
    ASSERT_TRUE(store) << error;
    const std::vector<station::RunRow> history = store->History("B9");
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0].verdict, station::Verdict::Pass);
    EXPECT_EQ(history[0].variant, "");
}

}  // namespace
