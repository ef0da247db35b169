// The station end to end: four sandbox boards (one with a broken clock) through the station
// program, results read back from its SQLite store and from a real PostgreSQL server; the
// server stopped during a run; the station killed mid-plan and started again; a slot whose
// board is not there yet, and a board that goes away mid-run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>

#include "PgServer.h"
#include "Process.h"

extern char **environ;

namespace {

namespace fs = std::filesystem;
const char *const kSlots[] = {"A", "B", "C", "D"};
constexpr char kPassphrase[] = "tvk-lab-passphrase";  // the lab access point's

const char kPlan[] = R"(mac expect=${MAC} identity=yes
version expect=5.0.0
rtc-set 2024-03-15T09:05 expect=2024-03-15T09:05 retry=1
lcd confirm="Colour bars on the whole screen?"
volume 200 expect=200
wifi TVK-LAB --psk ${PSK} expect=10.0.77.20
wifi-stop
)";

// What a program printed, both streams.
std::string Output(const std::vector<std::string> &argv) {
    const support::ProcessResult r = support::RunProcess(argv, {}, 120000);
    return r.out + r.err;
}

// The station program, its input a pipe the test writes, its output a file.
class StationProcess {
  public:
    StationProcess(const std::vector<std::string> &args, const std::string &log) {
        std::vector<std::string> argv = {STATION_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char *> raw;
        for (std::string &a : argv) raw.push_back(a.data());
        raw.push_back(nullptr);
        int in[2];
        if (pipe2(in, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawn(&pid_, STATION_PATH, &actions, nullptr, raw.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        input_ = in[1];
    }
    ~StationProcess() {
        if (input_ >= 0) close(input_);
        if (pid_ > 0 && Wait(0) == -2) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    void Type(const std::string &text) {
        EXPECT_EQ(write(input_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    // Exit status; -1 killed; -2 still running after `seconds`.
    int Wait(int seconds) {
        for (int i = 0; i <= seconds * 10; ++i) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            if (i < seconds * 10) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return -2;
    }
    void Kill9() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    int input_ = -1;
};

// One number or rows from the station's SQLite file, read as any other program would.
std::string Sql(const std::string &db, const std::string &query) {
    sqlite3 *conn = nullptr;
    std::string out;
    if (sqlite3_open_v2(db.c_str(), &conn, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_exec(
            conn, query.c_str(),
            [](void *text, int columns, char **values, char **) {
                auto &o = *static_cast<std::string *>(text);
                for (int i = 0; i < columns; ++i)
                    o += std::string(i ? "|" : "") + (values[i] ? values[i] : "");
                o += "\n";
                return 0;
            },
            &out, nullptr);
    }
    sqlite3_close(conn);
    return out;
}

long Count(const std::string &db, const std::string &query) {
    return std::atol(Sql(db, query).c_str());
}

std::string Slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class Station : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/tvk-station-e2e-XXXXXX";
        dir_ = mkdtemp(pattern);
        pg_ = new tvk_test::PgServer;
        std::ofstream(dir_ + "/line.plan") << kPlan;
        std::ofstream file(dir_ + "/line.toml");
        file << "name = \"e2e\"\nplan = \"line.plan\"\n[vars]\nPSK = \"" << kPassphrase
             << "\"\n[store]\nsqlite = \"results.db\"\njunit = \"junit\"\npostgres = \""
             << pg_->Connection() << "\"\n";
        for (int i = 0; i < 4; ++i) {
            const std::string slot = kSlots[i], mac = "02:00:00:00:02:0" + std::to_string(i);
            file << "[[slot]]\nname = \"" << slot << "\"\nport = \"" << slot
                 << "/tty\"\nvars = { MAC = \"" << mac << "\" }\n";
            std::vector<std::string> start = {SIM_PATH,       "--state", dir_ + "/" + slot,
                                              "start",        "--fast",  "--agent",
                                              TVK_AGENT_PATH, "--mac",   mac};
            if (slot == "D") start.insert(start.end(), {"--clock", "broken"});
            const std::string out = Output(start);
            if (out.find("/dev/") == std::string::npos) startError_ += slot + ": " + out;
        }
    }
    static void TearDownTestSuite() {
        for (const char *slot : kSlots) Output({SIM_PATH, "--state", dir_ + "/" + slot, "stop"});
        delete pg_;
        fs::remove_all(dir_);
    }
    void SetUp() override {
        ASSERT_TRUE(pg_->ok()) << pg_->error();
        ASSERT_TRUE(startError_.empty()) << startError_;
    }
    static std::string Db() { return dir_ + "/results.db"; }
    static std::vector<std::string> Args(const char *more = nullptr) {
        std::vector<std::string> args = {"run", dir_ + "/line.toml"};
        if (more) args.push_back(more);
        return args;
    }
    static std::string Log() { return dir_ + "/station.log"; }

    static std::string dir_, startError_;
    static tvk_test::PgServer *pg_;
};
std::string Station::dir_, Station::startError_;
tvk_test::PgServer *Station::pg_ = nullptr;

// The same counts, wherever the results are read.
const char kRunSummary[] =
    "SELECT board, verdict, failed_step, (SELECT count(*) FROM steps s WHERE s.run = r.id) "
    "FROM runs r ORDER BY board, started_ms";

TEST_F(Station, FourBoardsOneFaultyStoredLocallyAndInPostgres) {
    {
        StationProcess station({"run", dir_ + "/line.toml", "--auto", "--runs", "1"}, Log());
        ASSERT_EQ(station.Wait(120), 0) << Slurp(Log());
    }
    const std::string local = Sql(Db(), kRunSummary);
    EXPECT_EQ(local,
              "02:00:00:00:02:00|PASS||7\n02:00:00:00:02:01|PASS||7\n02:00:00:00:02:02|PASS||7\n"
              "02:00:00:00:02:03|FAIL|rtc-set 2024-03-15T09:05|4\n")
        << Slurp(Log());
    // The broken clock was tried twice (retry=1), and both tries are kept.
    EXPECT_EQ(Sql(Db(),
                  "SELECT attempt, verdict FROM steps WHERE command LIKE 'rtc-set%' AND "
                  "run = (SELECT id FROM runs WHERE verdict = 'FAIL')"),
              "1|FAIL\n2|FAIL\n");
    EXPECT_EQ(pg_->Query(kRunSummary), local);
    // The passphrase went to the boards and nowhere else.
    std::string everything = Slurp(Db()) + Slurp(Db() + "-wal") + Slurp(Log()) +
                             pg_->Query("SELECT command, request FROM steps");
    int junitFiles = 0;
    for (const auto &entry : fs::directory_iterator(dir_ + "/junit")) {
        const std::string xml = Slurp(entry.path());
        everything += xml;
        ++junitFiles;
        EXPECT_NE(xml.find("<property name=\"plan_hash\" value=\""), std::string::npos);
        EXPECT_NE(xml.find("<property name=\"board\" value=\"02:00:00:00:02:0"), std::string::npos);
    }
    EXPECT_EQ(junitFiles, 4);
    EXPECT_EQ(everything.find(kPassphrase), std::string::npos);
    EXPECT_NE(everything.find("--psk ***"), std::string::npos);

    const std::string yield = Output({STATION_PATH, "yield", "--db", Db()});
    EXPECT_NE(yield.find("first-pass yield 75.0% (3/4)"), std::string::npos) << yield;
    const std::string csv =
        Output({STATION_PATH, "history", "--csv", "--board", "02:00:00:00:02:03", "--db", Db()});
    EXPECT_NE(csv.find(",e2e,D,line,"), std::string::npos) << csv;
}

TEST_F(Station, PostgresStoppedDuringRunsLosesAndDoublesNothing) {
    const long before = Count(Db(), "SELECT count(*) FROM runs");
    {
        StationProcess station({"run", dir_ + "/line.toml", "--auto", "--runs", "2"}, Log());
        // The server goes away once the second round has begun, and is back after the runs.
        for (int i = 0; i < 600 && Count(Db(), "SELECT count(*) FROM runs") < before + 5; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ASSERT_TRUE(pg_->Stop());
        ASSERT_EQ(station.Wait(120), 0) << Slurp(Log());
    }
    EXPECT_NE(Sql(Db(), "SELECT count(*) FROM outbox"), "0\n");
    ASSERT_TRUE(pg_->Start());
    {
        // A restart in between: the outbox goes with it.
        StationProcess station(Args(), Log());
        station.Type("q\n");
        ASSERT_EQ(station.Wait(60), 0) << Slurp(Log());
    }
    EXPECT_EQ(Sql(Db(), "SELECT count(*) FROM outbox"), "0\n");
    EXPECT_EQ(pg_->Query(kRunSummary), Sql(Db(), kRunSummary));
    EXPECT_EQ(pg_->Query("SELECT count(*) FROM steps"), Sql(Db(), "SELECT count(*) FROM steps"));
}

TEST_F(Station, KilledMidPlanTheRunIsAbortedAndItsStepsKept) {
    const std::string open = "SELECT count(*) FROM runs WHERE ended_ms IS NULL";
    // Three boards wait at the lcd question; the one with the broken clock has failed.
    const auto threeAtTheQuestion = [&](long failedRuns) {
        const std::string waiting =
            "SELECT count(*) FROM runs r WHERE ended_ms IS NULL AND "
            "(SELECT count(*) FROM steps s WHERE s.run = r.id) >= 3";
        const std::string failed = "SELECT count(*) FROM runs WHERE verdict = 'FAIL'";
        for (int i = 0; i < 600 && (Count(Db(), failed) < failedRuns || Count(Db(), waiting) < 3 ||
                                    Count(Db(), open) != 3);
             ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return Sql(Db(), open) == "3\n" && Count(Db(), failed) == failedRuns;
    };
    {
        // No --auto: the lcd step waits for the operator, who never answers.
        StationProcess station(Args(), Log());
        station.Type("\n");
        ASSERT_TRUE(threeAtTheQuestion(1)) << Slurp(Log());
        station.Kill9();
    }
    const std::string killedSteps = "SELECT count(*) FROM steps WHERE run <= " +
                                    std::to_string(Count(Db(), "SELECT max(id) FROM runs"));
    const std::string steps = Sql(Db(), killedSteps);
    const std::string aborted = "SELECT count(*) FROM runs WHERE verdict = 'ABORTED'";
    {
        // Quitting while the operator is still asked aborts those runs too: nobody said no.
        StationProcess station(Args(), Log());
        for (int i = 0; i < 300 && Count(Db(), aborted) < 3; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ASSERT_EQ(Sql(Db(), aborted), "3\n") << "the killed runs are closed first";
        station.Type("\n");
        ASSERT_TRUE(threeAtTheQuestion(2)) << Slurp(Log());
        station.Type("q\n");
        ASSERT_EQ(station.Wait(60), 0);
    }
    EXPECT_EQ(Sql(Db(), open), "0\n");
    EXPECT_EQ(Sql(Db(), aborted), "6\n");
    EXPECT_EQ(Sql(Db(), killedSteps), steps);
    EXPECT_NE(Slurp(Log()).find("3 run(s) left open"), std::string::npos);
    EXPECT_EQ(pg_->Query("SELECT count(*) FROM runs WHERE verdict = 'ABORTED'"), "6\n");
}

// Polls `done` every 100 ms for up to `seconds`; whether it came true.
bool Eventually(const std::function<bool()> &done, int seconds = 30) {
    for (int i = 0; i < seconds * 10 && !done(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return done();
}

// A line of one slot, E, whose board the test starts and stops itself.
class OneBoardStation : public Station {
  protected:
    void SetUp() override {
        Station::SetUp();
        // The simulated operator notes who it is and waits to be ended.
        std::ofstream(dir_ + "/e.toml")
            << "name = \"e2e\"\nplan = \"e.plan\"\n[store]\nsqlite = \"e.db\"\njunit = \"\"\n"
               "[[slot]]\nname = \"E\"\nport = \"E/tty\"\n"
               "on_prompt = [\"sh\", \"-c\", \"echo $$ > hook.pid; exec sleep 300\"]\n";
    }
    void TearDown() override { Output({SIM_PATH, "--state", dir_ + "/E", "stop"}); }
    static void Plan(const char *text) { std::ofstream(dir_ + "/e.plan") << text; }
    static std::string StartBoard() {
        return Output({SIM_PATH, "--state", dir_ + "/E", "start", "--fast", "--agent",
                       TVK_AGENT_PATH, "--mac", "02:00:00:00:02:0e"});
    }
    static std::vector<std::string> AutoOnce() {
        return {"run", dir_ + "/e.toml", "--auto", "--runs", "1"};
    }
    // The first step stored, and the second under way.
    static bool AtTheSecondStep() {
        const bool there =
            Eventually([] { return Count(EDb(), "SELECT count(*) FROM steps") > 0; });
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        return there;
    }
    static std::string EDb() { return dir_ + "/e.db"; }
    static std::string ELog() { return dir_ + "/e.log"; }
};

TEST_F(OneBoardStation, TheSlotWaitsAndRunsOnceTheBoardIsThere) {
    Plan("mac identity=yes\nversion expect=5.0.0\n");
    StationProcess station(AutoOnce(), ELog());
    std::this_thread::sleep_for(std::chrono::seconds(5));
    EXPECT_EQ(Count(EDb(), "SELECT count(*) FROM runs"), 0)
        << "no run for a port that is not there";
    EXPECT_NE(Slurp(ELog()).find("E  waiting for the board on " + dir_ + "/E/tty"),
              std::string::npos)
        << Slurp(ELog());
    ASSERT_NE(StartBoard().find("/dev/"), std::string::npos);
    ASSERT_EQ(station.Wait(90), 0) << Slurp(ELog());
    EXPECT_EQ(Sql(EDb(), "SELECT board, verdict FROM runs"), "02:00:00:00:02:0e|PASS\n");
}

TEST_F(OneBoardStation, ABoardGoneMidRunIsAStationErrorAtOnce) {
    Plan("mac identity=yes\ntouch prompt=\"Touch\"\nversion\n");
    ASSERT_NE(StartBoard().find("/dev/"), std::string::npos);
    StationProcess station(AutoOnce(), ELog());
    // The board waits for a touch when it goes.
    ASSERT_TRUE(AtTheSecondStep()) << Slurp(ELog());
    Output({SIM_PATH, "--state", dir_ + "/E", "stop"});
    const auto stopped = std::chrono::steady_clock::now();
    ASSERT_EQ(station.Wait(10), 0) << Slurp(ELog());
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(3));
    const std::string run = Sql(EDb(), "SELECT verdict, failed_step, failed_reading FROM runs");
    EXPECT_EQ(run.rfind("ERROR|touch|fixture port " + dir_ + "/E/tty lost: ", 0), 0u) << run;
}

TEST_F(OneBoardStation, ALateAnswerFromBeforeACrashIsNotTheNextRunsResult) {
    Plan("mac identity=yes\ntouch\n");
    ASSERT_NE(StartBoard().find("/dev/"), std::string::npos);
    {
        StationProcess station(AutoOnce(), ELog());
        ASSERT_TRUE(AtTheSecondStep()) << Slurp(ELog());
        station.Kill9();  // the board waits for its touch, and answers when the window ends
    }
    // The first request waits behind the touch (the board takes one at a time).
    Plan("version expect=5.0.0 timeout_ms=30000\nmac identity=yes\n");
    StationProcess station(AutoOnce(), ELog());
    ASSERT_EQ(station.Wait(60), 0) << Slurp(ELog());
    EXPECT_EQ(Sql(EDb(), "SELECT verdict, failed_step FROM runs ORDER BY id"), "ABORTED|\nPASS|\n")
        << Slurp(ELog());
}

TEST_F(OneBoardStation, NoPassWithoutARecord) {
    Plan("mac identity=yes\nversion expect=5.0.0\n");
    ASSERT_NE(StartBoard().find("/dev/"), std::string::npos);
    const std::string full = dir_ + "/full";
    fs::create_directory(full);
    ASSERT_EQ(mount("tvk", full.c_str(), "tmpfs", 0, "size=1m"), 0) << "needs root";
    const std::unique_ptr<const char, void (*)(const char *)> mounted(
        full.c_str(), [](const char *path) { umount2(path, MNT_DETACH); });
    std::string toml = Slurp(dir_ + "/e.toml");
    std::ofstream(dir_ + "/full.toml") << toml.replace(toml.find("e.db"), 4, "full/e.db");
    StationProcess station({"run", dir_ + "/full.toml"}, ELog());
    ASSERT_TRUE(Eventually([] { return Slurp(ELog()).find("Enter starts") != std::string::npos; }));
    {
        // The disk fills up while the station runs.
        std::ofstream filler(full + "/filler");
        const std::string block(4096, 'x');
        while (filler.write(block.data(), block.size()) && filler.flush()) {
        }
    }
    station.Type("\n");
    EXPECT_TRUE(Eventually([] { return Slurp(ELog()).find("E  ERROR") != std::string::npos; }));
    station.Type("q\n");
    EXPECT_EQ(station.Wait(30), 1);
    const std::string log = Slurp(ELog());
    EXPECT_NE(log.find("KiB free beside"), std::string::npos) << log;
    EXPECT_NE(log.find("E  ERROR  "), std::string::npos) << log;
    EXPECT_NE(log.find("results not saved: "), std::string::npos) << log;
    EXPECT_EQ(log.find("PASS"), std::string::npos) << log;
}

// Gone, or a zombie nobody has reaped yet.
bool ProcessGone(pid_t pid) {
    const std::string stat = Slurp("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = stat.rfind(')');
    return paren == std::string::npos || stat.compare(paren, 4, ") Z ") == 0;
}

TEST_F(OneBoardStation, TheOperatorHookDiesWithAKilledStation) {
    Plan("mac identity=yes\ntouch prompt=\"Touch\"\n");
    ASSERT_NE(StartBoard().find("/dev/"), std::string::npos);
    StationProcess station({"run", dir_ + "/e.toml"}, ELog());
    station.Type("\n");
    Eventually([] { return !Slurp(dir_ + "/hook.pid").empty(); });
    const pid_t hook = std::atoi(Slurp(dir_ + "/hook.pid").c_str());
    ASSERT_GT(hook, 0) << Slurp(ELog());
    station.Kill9();
    EXPECT_TRUE(Eventually([&] { return ProcessGone(hook); }, 5));
    if (!ProcessGone(hook)) kill(hook, SIGKILL);
}

}  // namespace
