// The factory link end to end: the station program on four sandbox boards (one with a broken
// clock) puts every run on a real RabbitMQ while a real PostgreSQL takes the rows; the broker
// stopped mid-run, the station killed while messages are in flight, the broker's password looked
// for everywhere, and a real Prometheus scraping the station.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "Cfx.h"
#include "PgServer.h"
#include "Process.h"
#include "RabbitServer.h"
#include "Store.h"
#include "TempDir.h"

namespace {

using Json = nlohmann::json;
const char *const kSlots[] = {"A", "B", "C", "D"};
const char kHandle[] = "line-e2e.station";

const char kPlan[] = R"(mac expect=${MAC} identity=yes
version expect=5.0.0
rtc-set 2024-03-15T09:05 expect=2024-03-15T09:05 retry=1
volume 200 min=100 max=250
lcd confirm="Colour bars on the whole screen?"
)";

std::string Slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The station program on the line, input from /dev/null: without --auto it quits at once,
// after its senders' few seconds to deliver what waits.
class Station {
  public:
    Station(const std::string &file, const std::string &log, const std::vector<std::string> &more) {
        std::vector<std::string> argv = {STATION_PATH, "run", file};
        argv.insert(argv.end(), more.begin(), more.end());
        support::ChildOptions options;
        options.logPath = log;
        options.inputPipe = false;
        std::string error;
        EXPECT_TRUE(child_.Start(argv, options, error)) << error;
    }
    int Wait(int ms) { return child_.Wait(ms); }
    void Signal(int number) { kill(child_.pid(), number); }
    void Kill() { child_.Kill(); }

  private:
    support::ChildProcess child_;
};

bool WaitFor(const std::function<bool()> &done, int seconds) {
    for (int i = 0; i < seconds * 10 && !done(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return done();
}

// The envelope and body against the field reference: names, types, enum spellings.
void CheckAgainstReference(const Json &e) {
    const std::regex guid("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");
    const std::regex when(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{7}[+-]\d\d:\d\d)");
    const auto isGuid = [&](const Json &v) {
        return v.is_string() && std::regex_match(v.get<std::string>(), guid);
    };
    const auto oneOf = [](const Json &v, std::set<std::string> names) {
        return v.is_string() && names.count(v.get<std::string>()) == 1;
    };
    ASSERT_EQ(e.size(), 8u) << e;
    for (const char *key : {"MessageName", "Version", "TimeStamp", "UniqueID", "Source"}) {
        ASSERT_TRUE(e.at(key).is_string()) << key;
    }
    EXPECT_TRUE(e.at("Target").is_null() && e.at("RequestID").is_null());
    EXPECT_EQ(e.at("Version"), "2.1");
    EXPECT_TRUE(std::regex_match(e.at("TimeStamp").get<std::string>(), when));
    EXPECT_TRUE(isGuid(e.at("UniqueID")));
    const std::string name = e.at("MessageName");
    const Json &b = e.at("MessageBody");
    EXPECT_EQ(b.at("$type"), name + ", CFX");
    const std::set<std::string> results = {"Passed", "Failed", "Error", "Aborted", "Skipped"};
    if (name == "CFX.Production.TestAndInspection.UnitsTested") {
        EXPECT_TRUE(isGuid(b.at("TransactionId")));
        EXPECT_TRUE(oneOf(b.at("TestMethod"), {"Human", "Automated", "ICT", "FPT", "FCT", "BST"}));
        EXPECT_TRUE(oneOf(b.at("Tester").at("ActorType"), {"Human", "Robot", "RemoteSystem"}));
        EXPECT_TRUE(b.at("RecipeName").is_string() && b.at("RecipeRevision").is_string());
        EXPECT_TRUE(oneOf(
            b.at("SamplingInformation").at("SamplingMethod"),
            {"NoSampling", "ANSI_Z14", "MIL_STD_105", "MIL_STD_1916", "Squeglia", "FixedSample"}));
        for (const Json &unit : b.at("TestedUnits")) {
            EXPECT_TRUE(unit.at("UnitIdentifier").is_string());
            EXPECT_TRUE(unit.at("UnitPositionNumber").is_number_integer());
            EXPECT_TRUE(oneOf(unit.at("OverallResult"), results));
            for (const Json &test : unit.at("Tests")) {
                EXPECT_TRUE(isGuid(test.at("UniqueIdentifier")));
                EXPECT_TRUE(test.at("TestName").is_string());
                EXPECT_TRUE(oneOf(test.at("Result"), results));
                EXPECT_TRUE(test.at("DefectsFound").is_array());
                for (const Json &s : test.at("SymptomsFound")) {
                    EXPECT_TRUE(oneOf(s.at("Status"), {"NewlyDiscovered", "Confirmed", "False",
                                                       "Repaired", "Closed"}));
                    EXPECT_TRUE(s.at("Priority").is_number_integer());
                }
                for (const Json &m : test.at("Measurements")) {
                    EXPECT_EQ(m.at("$type"), "CFX.Structures.NumericMeasurement, CFX");
                    EXPECT_TRUE(m.at("Sequence").is_number_integer());
                    EXPECT_TRUE(oneOf(m.at("Result"), results));
                    EXPECT_TRUE(m.at("MeasuredValue").at("Value").is_number());
                    EXPECT_TRUE(m.at("MeasuredValue").at("ValueUnits").is_string());
                }
            }
        }
    } else if (name == "CFX.Production.WorkStarted" || name == "CFX.Production.WorkCompleted") {
        EXPECT_TRUE(isGuid(b.at("TransactionID")));
        EXPECT_TRUE(b.at("UnitCount").is_number_integer());
        EXPECT_EQ(b.at("UnitCount"), b.at("Units").size());
        for (const Json &u : b.at("Units")) {
            EXPECT_TRUE(u.at("PositionNumber").is_number_integer() && u.at("X").is_number());
            EXPECT_TRUE(oneOf(u.at("Status"), {"Pass", "Fail", "Scrap", "Skip"}));
        }
        if (name == "CFX.Production.WorkStarted") {
            EXPECT_TRUE(oneOf(b.at("RelevantSurface"),
                              {"Unspecified", "PrimarySurface", "SecondarySurface"}));
        } else {
            EXPECT_TRUE(oneOf(b.at("Result"), {"Completed", "Failed", "Aborted", "Skipped"}));
        }
    } else {
        ASSERT_EQ(name, "CFX.ResourcePerformance.StationStateChanged");
        // The reference's codes, written quoted.
        for (const char *key : {"OldState", "NewState"}) {
            EXPECT_TRUE(oneOf(b.at(key), {"1000", "2000", "4000", "5000", "6000"})) << key;
        }
    }
}

class CfxLine : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new support::TempDir("tvk-cfx-line");
        rabbit_ = new tvk_test::RabbitServer;
        pg_ = new tvk_test::PgServer;
        dir_->Write("line.plan", kPlan);
        std::ostringstream file;
        file << "name = \"e2e\"\nplan = \"line.plan\"\noperator = \"ana\"\n[store]\n"
             << "sqlite = \"results.db\"\njunit = \"\"\npostgres = \"" << pg_->Connection()
             << "\"\n[cfx]\nbroker = \"" << rabbit_->Broker() << "\"\nhandle = \"" << kHandle
             << "\"\nuser = \"" << rabbit_->User() << "\"\npassword_file = \""
             << rabbit_->PasswordFile() << "\"\n[web]\naddress = \"127.0.0.1:" << WebPort()
             << "\"\n";
        for (int i = 0; i < 4; ++i) {
            const std::string slot = kSlots[i], mac = "02:00:00:00:03:0" + std::to_string(i);
            file << "[[slot]]\nname = \"" << slot << "\"\nport = \"" << slot
                 << "/tty\"\nvars = { MAC = \"" << mac << "\" }\n";
            std::vector<std::string> start = {SIM_PATH,       "--state", dir_->Path(slot),
                                              "start",        "--fast",  "--agent",
                                              TVK_AGENT_PATH, "--mac",   mac};
            if (slot == "D") start.insert(start.end(), {"--clock", "broken"});
            const auto r = support::RunProcess(start, {}, 120000);
            if (r.out.find("/dev/") == std::string::npos) startError_ += slot + ": " + r.err;
        }
        dir_->Write("line.toml", file.str());
    }
    static void TearDownTestSuite() {
        for (const char *slot : kSlots) {
            support::RunProcess({SIM_PATH, "--state", dir_->Path(slot), "stop"}, {}, 60000);
        }
        delete pg_;
        delete rabbit_;
        delete dir_;
    }
    void SetUp() override {
        ASSERT_TRUE(rabbit_->ok()) << rabbit_->error();
        ASSERT_TRUE(pg_->ok()) << pg_->error();
        ASSERT_TRUE(startError_.empty()) << startError_;
    }
    static int WebPort() {
        static const int port = tvk_test::FreePort();
        return port;
    }
    static std::string Log() { return dir_->Path("station.log"); }

    // Each slot `runs` times, then it ends; 0: no run, only what waits is delivered.
    static std::vector<std::string> Runs(int runs) {
        if (runs == 0) return {};
        return {"--auto", "--runs", std::to_string(runs)};
    }

    // The stored runs as the bus should hold them: message id to (slot, run id, name).
    static std::map<std::string, std::string> Expected(std::vector<station::RunRecord> *runs,
                                                       int64_t after = 0) {
        std::string error;
        auto store = station::Store::OpenForReading(dir_->Path("results.db"), error);
        EXPECT_TRUE(store) << error;
        std::map<std::string, std::string> out;
        if (!store) return out;
        for (const station::RunRow &row : store->Runs(0)) {
            if (row.id <= after) continue;
            station::RunRecord record;
            EXPECT_TRUE(store->Run(row.id, record));
            if (runs != nullptr) runs->push_back(record);
            for (auto kind : {station::CfxKind::WorkStarted, station::CfxKind::UnitsTested,
                              station::CfxKind::WorkCompleted}) {
                const char *name = station::CfxMessageName(kind);
                out[station::CfxGuid(record.uid, name)] =
                    row.slot + " " + std::to_string(1000000 + row.id) + " " + name;
            }
        }
        return out;
    }

    // The last run stored so far: a test looks at the runs after it.
    static int64_t LastRun() {
        std::string error;
        auto store = station::Store::OpenForReading(dir_->Path("results.db"), error);
        int64_t last = 0;
        for (const station::RunRow &row : store ? store->Runs(0) : std::vector<station::RunRow>{})
            last = std::max(last, row.id);
        return last;
    }

    // Every message of the runs after `after` once by id, each slot's in the order they came;
    // repeats must be the same bytes. Returns how many came twice.
    static int CheckOncePerIdInOrder(const std::vector<tvk_test::AmqpReceived> &got,
                                     int64_t after) {
        const auto expected = Expected(nullptr, after);
        int repeats = 0;
        std::map<std::string, std::string> bodies;
        std::map<std::string, std::vector<std::string>> bySlot;
        for (const auto &m : got) {
            if (m.properties.at("cfx-message") == "CFX.ResourcePerformance.StationStateChanged") {
                continue;
            }
            EXPECT_TRUE(expected.count(m.id)) << "no stored run stands for " << m.body;
            if (!expected.count(m.id)) continue;
            const auto [it, first] = bodies.emplace(m.id, m.body);
            EXPECT_EQ(it->second, m.body) << "a repeat under the same id differs";
            repeats += first ? 0 : 1;
            if (first) bySlot[expected.at(m.id).substr(0, 1)].push_back(expected.at(m.id));
        }
        EXPECT_EQ(bodies.size(), expected.size()) << "every stored run's three messages";
        for (auto &[slot, order] : bySlot) {
            auto sorted = order;
            // Runs in commit order (ids grow), and each run's messages in the order sent.
            const auto rank = [](const std::string &what) {
                const int kind = what.find("WorkStarted") != std::string::npos   ? 0
                                 : what.find("UnitsTested") != std::string::npos ? 1
                                                                                 : 2;
                return what.substr(2, 7) + std::to_string(kind);
            };
            std::sort(sorted.begin(), sorted.end(),
                      [&](const auto &a, const auto &b) { return rank(a) < rank(b); });
            EXPECT_EQ(order, sorted) << "slot " << slot;
        }
        return repeats;
    }

    static support::TempDir *dir_;
    static tvk_test::RabbitServer *rabbit_;
    static tvk_test::PgServer *pg_;
    static std::string startError_;
};
support::TempDir *CfxLine::dir_ = nullptr;
tvk_test::RabbitServer *CfxLine::rabbit_ = nullptr;
tvk_test::PgServer *CfxLine::pg_ = nullptr;
std::string CfxLine::startError_;

TEST_F(CfxLine, FourBoardsEachRunsMessagesMatchTheStoreAndTheReference) {
    {
        Station station(dir_->Path("line.toml"), Log(), Runs(1));
        ASSERT_EQ(station.Wait(180000), 0) << Slurp(Log());
    }
    std::vector<station::RunRecord> runs;
    const auto expected = Expected(&runs);
    ASSERT_EQ(runs.size(), 4u);
    const auto got = rabbit_->Take(expected.size() + 2, 20000);
    ASSERT_EQ(got.size(), expected.size() + 2) << "three a run, the station's start and stop";
    std::map<std::string, Json> byId;
    for (const auto &m : got) {
        SCOPED_TRACE(m.body);
        EXPECT_TRUE(m.dataSection && m.durable);
        const Json e = Json::parse(m.body);
        CheckAgainstReference(e);
        EXPECT_EQ(e.at("UniqueID"), m.id);
        EXPECT_EQ(m.subject, std::string(kHandle) + "." + e.at("MessageName").get<std::string>());
        byId[m.id] = e;
    }
    std::string error;
    auto store = station::Store::OpenForReading(dir_->Path("results.db"), error);
    ASSERT_TRUE(store) << error;
    int failed = 0;
    for (const station::RunRecord &run : runs) {
        SCOPED_TRACE(run.row.board);
        const std::string tested =
            station::CfxGuid(run.uid, station::CfxMessageName(station::CfxKind::UnitsTested));
        ASSERT_TRUE(byId.count(tested));
        const Json body = byId[tested].at("MessageBody");
        const Json unit = body.at("TestedUnits").at(0);
        EXPECT_EQ(unit.at("UnitIdentifier"), run.row.board);
        const bool pass = run.row.verdict == station::Verdict::Pass;
        failed += pass ? 0 : 1;
        EXPECT_EQ(unit.at("OverallResult"), pass ? "Passed" : "Failed");
        // The README's samples come from here, as sent.
        if (const char *sample = getenv("TVK_CFX_SAMPLE")) {
            for (const auto &m : got) {
                if (m.id == tested) {
                    std::ofstream(std::string(sample) + (pass ? ".pass" : ".fail"))
                        << nlohmann::ordered_json::parse(m.body).dump(2) << '\n';
                }
            }
        }
        EXPECT_EQ(body.at("Tester").at("OperatorIdentifier"), "ana");
        EXPECT_EQ(body.at("RecipeRevision"), run.row.planHash);
        const auto steps = store->Steps(run.row.id);
        ASSERT_EQ(unit.at("Tests").size(), steps.size());
        for (size_t i = 0; i < steps.size(); ++i) {
            const Json &test = unit.at("Tests")[i];
            EXPECT_EQ(test.at("TestName"), steps[i].command);
            EXPECT_EQ(test.at("Result"), steps[i].verdict == "PASS" ? "Passed" : "Failed");
            if (steps[i].command.rfind("volume", 0) == 0) {
                const Json value = test.at("Measurements").at(0).at("MeasuredValue");
                EXPECT_EQ(value.at("Value"), std::stod(steps[i].reading));
                EXPECT_EQ(value.at("ValueUnits"), "level");
                EXPECT_EQ(value.at("MinimumAcceptableValue"), 100.0);
                EXPECT_EQ(value.at("MaximumAcceptableValue"), 250.0);
            }
            if (steps[i].verdict == "FAIL") {
                EXPECT_EQ(test.at("SymptomsFound").at(0).at("Description"), steps[i].reading);
            }
        }
        const std::string done =
            station::CfxGuid(run.uid, station::CfxMessageName(station::CfxKind::WorkCompleted));
        ASSERT_TRUE(byId.count(done));
        EXPECT_EQ(byId[done].at("MessageBody").at("PrimaryIdentifier"), run.row.board);
    }
    EXPECT_EQ(failed, 1) << "the board with the broken clock";
}

TEST_F(CfxLine, BrokerStoppedMidRunEveryMessageArrivesOnceInOrderAndPostgresGoesOn) {
    rabbit_->Take(0, 2000);  // what earlier tests left
    const int64_t after = LastRun();
    std::string error;
    const auto count = [&] {
        auto store = station::Store::OpenForReading(dir_->Path("results.db"), error);
        return store ? store->Runs(0).size() : 0;
    };
    const size_t before = count();
    {
        // No run limit: the station still runs whatever time the broker takes to stop.
        Station station(dir_->Path("line.toml"), Log(), {"--auto"});
        ASSERT_TRUE(WaitFor([&] { return count() >= before + 2; }, 120)) << Slurp(Log());
        ASSERT_TRUE(rabbit_->Stop());
        // The metrics page shows the bus's backlog while the broker is away.
        httplib::Client page("127.0.0.1", WebPort());
        const auto waiting = [&](const std::string &target) {
            const auto r = page.Get("/metrics");
            const std::string line = "station_outbox_waiting{target=\"" + target + "\"} ";
            const size_t at = r ? r->body.find(line) : std::string::npos;
            return at == std::string::npos ? -1 : std::atoi(r->body.c_str() + at + line.size());
        };
        EXPECT_TRUE(WaitFor([&] { return waiting("cfx") > 0; }, 30));
        station.Signal(SIGTERM);
        ASSERT_EQ(station.Wait(180000), 0) << Slurp(Log());
    }
    auto reader = station::Store::OpenForReading(dir_->Path("results.db"), error);
    ASSERT_TRUE(reader) << error;
    EXPECT_GT(reader->OutboxState(station::kCfxTarget).waiting, 0)
        << reader->OutboxState(station::kCfxTarget).setAside << " set aside\n"
        << Slurp(Log());
    EXPECT_EQ(reader->OutboxState(station::kPostgresTarget).waiting, 0)
        << "PostgreSQL took every row while the broker was away";
    EXPECT_EQ(pg_->Query("SELECT count(*) FROM runs"), std::to_string(count()) + "\n");
    ASSERT_TRUE(rabbit_->Start()) << rabbit_->error();
    {
        Station station(dir_->Path("line.toml"), Log(), Runs(0));
        ASSERT_EQ(station.Wait(60000), 0) << Slurp(Log());
    }
    EXPECT_EQ(reader->OutboxState(station::kCfxTarget).waiting, 0) << Slurp(Log());
    CheckOncePerIdInOrder(rabbit_->Take(0, 5000), after);
}

TEST_F(CfxLine, KilledWhileMessagesAreInFlightTheResendKeepsTheirIds) {
    rabbit_->Take(0, 2000);
    const int64_t after = LastRun();
    std::string error;
    // Run alone, this test finds no store yet: the reader needs one from the start.
    ASSERT_TRUE(station::Store::Open(dir_->Path("results.db"), false, error)) << error;
    auto reader = station::Store::OpenForReading(dir_->Path("results.db"), error);
    ASSERT_TRUE(reader) << error;
    const size_t before = reader->Runs(0).size();
    {
        Station station(dir_->Path("line.toml"), Log(), Runs(2));
        ASSERT_TRUE(WaitFor([&] { return reader->Runs(0).size() >= before + 3; }, 120));
        // The broker takes what is on the wire but answers nothing until it is let go: the
        // station dies between the broker's keeping a message and the station's hearing so.
        rabbit_->Pause(true);
        std::this_thread::sleep_for(std::chrono::seconds(2));
        station.Kill();
        rabbit_->Pause(false);
    }
    {
        Station station(dir_->Path("line.toml"), Log(), Runs(0));
        ASSERT_EQ(station.Wait(60000), 0) << Slurp(Log());
    }
    EXPECT_EQ(reader->OutboxState(station::kCfxTarget).waiting, 0) << Slurp(Log());
    const int repeats = CheckOncePerIdInOrder(rabbit_->Take(0, 5000), after);
    std::cout << "messages the broker kept twice: " << repeats << std::endl;
}

// A number from Prometheus' query API; -1 when the query has no answer yet.
double Query(httplib::Client &api, const std::string &query) {
    const auto r = api.Get("/api/v1/query", httplib::Params{{"query", query}}, httplib::Headers{});
    if (!r || r->status != 200) return -1;
    const Json answer = Json::parse(r->body, nullptr, false);
    if (!answer.is_object() || answer["data"]["result"].empty()) return -1;
    double total = 0;
    for (const Json &series : answer["data"]["result"]) {
        total += std::stod(series["value"][1].get<std::string>());
    }
    return total;
}

TEST_F(CfxLine, PrometheusScrapesTheRunningStationAndThePasswordIsNowhere) {
    support::TempDir folder("tvk-prometheus");
    const int port = tvk_test::FreePort();
    folder.Write("prometheus.yml",
                 "global:\n  scrape_interval: 1s\nscrape_configs:\n"
                 "  - job_name: station\n    static_configs:\n"
                 "      - targets: ['127.0.0.1:" +
                     std::to_string(WebPort()) + "']\n");
    support::ChildProcess prometheus;
    support::ChildOptions quiet;
    quiet.logPath = folder.Path("prometheus.log");
    quiet.inputPipe = false;
    std::string error;
    ASSERT_TRUE(prometheus.Start({"prometheus", "--config.file=" + folder.Path("prometheus.yml"),
                                  "--storage.tsdb.path=" + folder.Path("data"),
                                  "--web.listen-address=127.0.0.1:" + std::to_string(port)},
                                 quiet, error))
        << error;
    Station station(dir_->Path("line.toml"), Log(), {"--auto"});
    httplib::Client api("127.0.0.1", port);
    EXPECT_TRUE(WaitFor([&] { return Query(api, "sum(station_runs_total)") >= 4; }, 120))
        << Slurp(folder.Path("prometheus.log"));
    EXPECT_EQ(Query(api, "up{job=\"station\"}"), 1);
    EXPECT_EQ(Query(api, "sum(station_slot_phase)"), 4) << "each slot in one phase";
    EXPECT_GT(Query(api, "station_uptime_seconds"), 0);
    EXPECT_GE(Query(api, "sum(station_step_duration_seconds_count)"), 4 * 4);
    EXPECT_GE(Query(api, "station_outbox_waiting{target=\"cfx\"}"), 0);
    EXPECT_EQ(Query(api, "sum(station_runs_total{verdict=\"FAIL\",slot=\"D\"})"),
              Query(api, "sum(station_runs_total{slot=\"D\"})"))
        << "the broken clock fails every run";
    // The broker's password went to the broker and nowhere else.
    std::string everything;
    httplib::Client page("127.0.0.1", WebPort());
    for (const char *path : {"/metrics", "/api/state", "/"}) {
        const auto r = page.Get(path);
        ASSERT_TRUE(r) << path;
        everything += r->body;
    }
    prometheus.Kill();
    station.Signal(SIGTERM);
    ASSERT_EQ(station.Wait(60000), 0) << Slurp(Log());
    for (const auto &m : rabbit_->Take(0, 5000)) everything += m.body + m.subject;
    everything += Slurp(Log()) + Slurp(dir_->Path("results.db")) +
                  Slurp(dir_->Path("results.db-wal")) + Slurp(dir_->Path("line.toml")) +
                  pg_->Query("SELECT * FROM runs") + pg_->Query("SELECT * FROM steps");
    EXPECT_EQ(everything.find(rabbit_->Password()), std::string::npos);
    EXPECT_NE(everything.find("CFX.Production.WorkCompleted"), std::string::npos);
}

}  // namespace
