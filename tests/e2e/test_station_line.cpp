// A mixed line end to end: sandbox boards of both types through the station program, each
// flashed from the station with the real flashrom (dummy programmer) before its variant's tests;
// a type no variant names; a board sent to repair and back; what tested each board, read back
// from SQLite, PostgreSQL and JUnit.
#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <map>
#include <random>

#include "HostStep.h"
#include "PgServer.h"
#include "Process.h"
#include "Store.h"
#include "TempDir.h"
#include "Trace.h"

namespace {

struct Board {
    const char *slot, *mac, *type;
    std::vector<std::string> options;
};
// B's clock is broken: the TVK plan sets it, so B fails there.
const Board kBoards[] = {{"A", "02:00:00:00:03:01", "TVK", {}},
                         {"B", "02:00:00:00:03:02", "TVK", {"--clock", "broken"}},
                         {"C", "02:00:00:00:03:03", "RDMX", {}}};

constexpr char kIdentify[] = "mac expect=${MAC} identity=yes\nboard-type\n";
constexpr char kFlash[] =
    "host flashrom -p dummy:emulate=W25Q128FV,image=${SLOT}.chip -w ${IMAGE} image=${IMAGE}\n"
    "host flashrom -p dummy:emulate=W25Q128FV,image=${SLOT}.chip -v ${IMAGE}\n";
constexpr char kTvk[] = "version expect=5.0.0\nrtc-set 2024-03-15T09:05 expect=2024-03-15T09:05\n";
// The RDMX line unlocks something with a key its station file names secret.
constexpr char kRdmx[] =
    "version expect=5.0.0\nvolume ${VOLUME} expect=${VOLUME}\nhost echo unlocked with ${KEY}\n";
constexpr char kKey[] = "rdmx-key-77";

class Line : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new support::TempDir("tvk-line-e2e");
        pg_ = new tvk_test::PgServer;
        std::string image(16 << 20, '\0');
        std::mt19937 random(7);
        for (const char *name : {"tvk.img", "rdmx.img"}) {
            for (char &c : image) c = static_cast<char>(random());
            dir_->Write(name, image);
        }
        dir_->Write("identify.plan", kIdentify);
        dir_->Write("tvk.plan", std::string(kFlash) + kTvk);
        dir_->Write("rdmx.plan", std::string(kFlash) + kRdmx);
        const std::string top =
            "name = \"mixed\"\nplan = \"identify.plan\"\noperator = \"Ana\"\nmax_failures = 2\n"
            "secrets = [\"KEY\"]\n[vars]\nVOLUME = \"100\"\nKEY = \"" +
            std::string(kKey) +
            "\"\n[store]\nsqlite = \"results.db\"\njunit = \"junit\"\n"
            "postgres = \"" +
            pg_->Connection() + "\"\n";
        const std::string tvk =
            "[[variant]]\nname = \"TVK\"\nplan = \"tvk.plan\"\nvars = { IMAGE = \"tvk.img\" }\n";
        const std::string rdmx =
            "[[variant]]\nname = \"RDMX\"\nplan = \"rdmx.plan\"\n"
            "vars = { IMAGE = \"rdmx.img\", VOLUME = \"200\" }\n";
        std::map<std::string, std::string> slot;
        for (const Board &b : kBoards) {
            slot[b.slot] = std::string("[[slot]]\nname = \"") + b.slot + "\"\nport = \"" + b.slot +
                           "/tty\"\nvars = { MAC = \"" + b.mac + "\" }\n";
            std::vector<std::string> start = {SIM_PATH,       "--state", dir_->Path(b.slot),
                                              "start",        "--fast",  "--agent",
                                              TVK_AGENT_PATH, "--mac",   b.mac,
                                              "--board-type", b.type};
            start.insert(start.end(), b.options.begin(), b.options.end());
            const support::ProcessResult r = support::RunProcess(start, {}, 120000);
            if (r.out.find("/dev/") == std::string::npos) startError_ += r.out + r.err;
        }
        dir_->Write("line.toml", top + tvk + rdmx + slot["A"] + slot["B"] + slot["C"]);
        dir_->Write("repair.toml", top + tvk + rdmx + slot["B"]);
        // The same line without a plan for RDMX boards.
        dir_->Write("tvk-only.toml", top + tvk + slot["C"]);
    }
    static void TearDownTestSuite() {
        for (const Board &b : kBoards) {
            support::RunProcess({SIM_PATH, "--state", dir_->Path(b.slot), "stop"});
        }
        delete pg_;
        delete dir_;
    }
    void SetUp() override {
        ASSERT_TRUE(pg_->ok()) << pg_->error();
        ASSERT_TRUE(startError_.empty()) << startError_;
    }

    // The station program until it ends by itself; its exit status.
    static int Station(const std::vector<std::string> &args) {
        std::vector<std::string> argv = {STATION_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        const support::ProcessResult r = support::RunProcess(argv, {}, 300000);
        log_ += r.out + r.err;
        return r.exitCode;
    }
    static std::string Log() { return log_; }
    static std::unique_ptr<station::Store> Results() {
        std::string error;
        auto store = station::Store::OpenForReading(dir_->Path("results.db"), error);
        EXPECT_TRUE(store) << error;
        return store;
    }
    // The commands a run stored, one a line.
    static std::string Commands(const station::Store &store, int64_t run) {
        std::string text;
        for (const station::StepRow &s : store.Steps(run)) text += s.command + "\n";
        return text;
    }

    static support::TempDir *dir_;
    static tvk_test::PgServer *pg_;
    static std::string startError_, log_;
};
support::TempDir *Line::dir_ = nullptr;
tvk_test::PgServer *Line::pg_ = nullptr;
std::string Line::startError_, Line::log_;

TEST_F(Line, EachBoardRunsItsVariantsPlanAndRecordsWhatTestedIt) {
    ASSERT_EQ(Station({"run", dir_->Path("line.toml"), "--auto", "--runs", "1"}), 0) << Log();
    auto store = Results();
    ASSERT_TRUE(store);
    station::ImageDigest tvk, rdmx;
    std::string error;
    ASSERT_TRUE(station::DigestFile(dir_->Path("tvk.img"), tvk, error)) << error;
    ASSERT_TRUE(station::DigestFile(dir_->Path("rdmx.img"), rdmx, error)) << error;
    const std::string flashTvk = "host flashrom -p dummy:emulate=W25Q128FV,image=";
    for (const Board &b : kBoards) {
        const std::vector<station::RunRow> runs = store->History(b.mac);
        ASSERT_EQ(runs.size(), 1u) << b.slot << "\n" << Log();
        const station::RunRow &r = runs[0];
        const bool isTvk = std::string(b.type) == "TVK";
        EXPECT_EQ(r.variant, b.type);
        EXPECT_EQ(r.verdict,
                  std::string(b.slot) == "B" ? station::Verdict::Fail : station::Verdict::Pass)
            << r.failedStep << ": " << r.failedReading;
        // The identify section, then the variant's own plan with its own image and variables.
        const std::string image = isTvk ? "tvk.img" : "rdmx.img";
        const std::string chip = flashTvk + b.slot + ".chip ";
        EXPECT_EQ(Commands(*store, r.id),
                  "mac\nboard-type\n" + chip + "-w " + image + "\n" + chip + "-v " + image +
                      "\nversion\n" +
                      (isTvk ? "rtc-set 2024-03-15T09:05\n"
                             : "volume 200\nhost echo unlocked with ***\n"));
        EXPECT_EQ(r.plan, std::string("identify+") + (isTvk ? "tvk" : "rdmx"));
        EXPECT_EQ(r.stationVersion, station::StationVersion());
        EXPECT_EQ(r.agentVersion, "5.0.0");
        EXPECT_EQ(r.port, dir_->Path(b.slot) + "/tty");
        EXPECT_EQ(r.operatorName, "Ana");
        ASSERT_EQ(r.images.size(), 1u);
        EXPECT_EQ(r.images[0].step, 3);
        EXPECT_EQ(r.images[0].sha256, isTvk ? tvk.sha256 : rdmx.sha256);
        EXPECT_EQ(r.images[0].size, 16u << 20);
        // The same in PostgreSQL and in the run's JUnit file.
        EXPECT_EQ(pg_->Query("SELECT r.variant, r.agent_version, r.port, r.station_version, "
                             "i.sha256 FROM runs r JOIN images i ON i.run = r.id WHERE board = '" +
                             std::string(b.mac) + "'"),
                  r.variant + "|5.0.0|" + r.port + "|" + r.stationVersion + "|" +
                      r.images[0].sha256 + "\n");
        const std::string junit =
            dir_->Read(std::string("junit/mixed-") + b.slot + "-" + std::to_string(r.id) + ".xml");
        for (const std::string &property : std::vector<std::string>{
                 "\"variant\" value=\"" + r.variant, "\"agent_version\" value=\"5.0.0",
                 "\"station_version\" value=\"" + r.stationVersion,
                 "\"image_step_3\" value=\"" + image + " sha256 " + r.images[0].sha256}) {
            EXPECT_NE(junit.find("<property name=" + property), std::string::npos) << property;
        }
        EXPECT_EQ(junit.find(kKey), std::string::npos) << junit;
        if (!isTvk) {
            EXPECT_EQ(store->Steps(r.id).back().response, "unlocked with ***\n");
        }
    }
    // The secret reached the program, and nothing the station keeps or sends.
    EXPECT_EQ(
        pg_->Query("SELECT count(*) FROM steps WHERE command = 'host echo unlocked with ***'"),
        "1\n");
    EXPECT_EQ(pg_->Query("SELECT count(*) FROM steps WHERE command LIKE '%" + std::string(kKey) +
                         "%' OR response LIKE '%" + kKey + "%'"),
              "0\n");
    for (const char *file : {"results.db", "results.db-wal"}) {
        if (std::filesystem::exists(dir_->Path(file))) {
            EXPECT_EQ(dir_->Read(file).find(kKey), std::string::npos) << file;
        }
    }
    EXPECT_EQ(Log().find(kKey), std::string::npos) << Log();
    const support::ProcessResult yield =
        support::RunProcess({STATION_PATH, "yield", "--db", dir_->Path("results.db")});
    EXPECT_NE(yield.out.find("TVK: first-pass 50.0% (1/2), final 50.0% (1/2)"), std::string::npos)
        << yield.out;
    EXPECT_NE(yield.out.find("RDMX: first-pass 100.0% (1/1)"), std::string::npos) << yield.out;
}

TEST_F(Line, ABoardOfATypeNoVariantNamesIsAnErrorNotAFail) {
    ASSERT_EQ(Station({"run", dir_->Path("tvk-only.toml"), "--auto", "--runs", "1"}), 0) << Log();
    auto store = Results();
    ASSERT_TRUE(store);
    const station::RunRow r = store->History(kBoards[2].mac).back();
    EXPECT_EQ(r.verdict, station::Verdict::Error);
    EXPECT_EQ(r.failedReading, "no plan for board type RDMX");
    EXPECT_EQ(Commands(*store, r.id), "mac\nboard-type\n");
}

TEST_F(Line, ABoardThatKeepsFailingGoesToRepairAndComesBack) {
    const std::string mac = kBoards[1].mac;
    // Two failures (one may come from the mixed line's test in the same process), then it is
    // refused.
    const size_t before =
        std::filesystem::exists(dir_->Path("results.db")) ? Results()->History(mac).size() : 0;
    const std::string more = std::to_string(3 - before);
    ASSERT_EQ(Station({"run", dir_->Path("repair.toml"), "--auto", "--runs", more}), 0) << Log();
    auto store = Results();
    ASSERT_TRUE(store);
    std::vector<station::RunRow> runs = store->History(mac);
    ASSERT_EQ(runs.size(), 3u) << Log();
    EXPECT_EQ(runs[1].failedStep, "rtc-set 2024-03-15T09:05");
    const station::RunRow &refused = runs.back();
    EXPECT_EQ(refused.verdict, station::Verdict::Fail);
    EXPECT_EQ(refused.failedReading, "board " + mac + ": 2 failures, send to repair");
    EXPECT_EQ(Commands(*store, refused.id), "mac\n");

    const support::ProcessResult repair =
        support::RunProcess({STATION_PATH, "repair", mac, "--note", "replaced U12", "--station",
                             dir_->Path("repair.toml"), "--operator", "Ben"});
    ASSERT_EQ(repair.exitCode, 0) << repair.err;
    ASSERT_EQ(Station({"run", dir_->Path("repair.toml"), "--auto", "--runs", "1"}), 0) << Log();
    runs = store->History(mac);
    // Tested again, the whole plan: it still fails at its clock.
    EXPECT_EQ(runs.back().failedStep, "rtc-set 2024-03-15T09:05");
    EXPECT_EQ(pg_->Query("SELECT note, operator FROM repairs WHERE board = '" + mac + "'"),
              "replaced U12|Ben\n");
    const support::ProcessResult history = support::RunProcess(
        {STATION_PATH, "history", "--board", mac, "--db", dir_->Path("results.db")});
    const size_t repaired = history.out.find("  repair  ");
    ASSERT_NE(repaired, std::string::npos) << history.out;
    EXPECT_NE(history.out.find("replaced U12  (Ben)"), std::string::npos) << history.out;
    // Listed in time order: the refusal before the repair, the retest after it.
    EXPECT_LT(history.out.find("send to repair"), repaired);
    EXPECT_GT(history.out.rfind("at rtc-set"), repaired);
    const support::ProcessResult yield =
        support::RunProcess({STATION_PATH, "yield", "--db", dir_->Path("results.db")});
    EXPECT_NE(yield.out.find("retests after repair: 0/1 passed"), std::string::npos) << yield.out;
    std::cout << history.out;  // one board's full history, for the record
}

}  // namespace
