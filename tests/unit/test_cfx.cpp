// The factory link's decisions: which CFX fields a stored run becomes, their spellings, the
// ids a resend must repeat, and the metrics page's lines.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>

#include "Cfx.h"
#include "Metrics.h"
#include "Plan.h"
#include "StationFile.h"

namespace {

using station::CfxKind;
using station::Verdict;
using Json = nlohmann::json;

station::StepRow Row(int index, const char *command, const std::string &reading,
                     const char *verdict, const char *limits = "", int attempt = 1) {
    return {7, index, attempt, command, reading, limits, verdict, 0.25, "", ""};
}

// A reading the plan's limit check turned into a failure, in the plan's own words.
std::string OverLimit(double value, double max) {
    fixture::Result r;
    r.outcome = fixture::Outcome::Pass;
    r.value = std::to_string(static_cast<int>(value));
    r.number = value;
    fixture::Expectation limits;
    limits.max = max;
    fixture::ApplyExpectation(limits, r);
    return r.summary;
}

station::RunRecord StoredRun(Verdict verdict, const std::string &board = "02:00:00:00:01:0a") {
    station::RunRecord run;
    run.uid = "4f1c2b7e3d4a4e5f8a9b0c1d2e3f4a5b";
    station::RunRow &r = run.row;
    r.id = 7;
    r.board = board;
    r.station = "line-1";
    r.slot = "B";
    r.plan = "station.plan";
    r.planHash = "3f9a61c2";
    r.operatorName = "ana";
    r.startedMs = 1776672930000;
    r.endedMs = 1776672942500;
    r.verdict = verdict;
    return run;
}

Json Body(const station::CfxMessage &m) {
    return Json::parse(m.json).at("MessageBody");
}

TEST(Cfx, IdsAreGuidsFixedByTheRunAndKindAlone) {
    const std::regex guid("[0-9a-f]{8}-[0-9a-f]{4}-8[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    const std::string a = station::CfxGuid("u1", "CFX.Production.WorkStarted");
    EXPECT_TRUE(std::regex_match(a, guid)) << a;
    EXPECT_EQ(a, station::CfxGuid("u1", "CFX.Production.WorkStarted"));
    EXPECT_NE(a, station::CfxGuid("u2", "CFX.Production.WorkStarted"));
    EXPECT_NE(a, station::CfxGuid("u1", "CFX.Production.WorkCompleted"));
    // A resend rebuilds the same bytes, so the same id means the same message.
    const std::vector<station::StepRow> steps = {Row(1, "ping 10.0.77.1", "3 ms", "PASS")};
    for (CfxKind kind : {CfxKind::WorkStarted, CfxKind::UnitsTested, CfxKind::WorkCompleted}) {
        const auto first =
            station::BuildCfx(kind, StoredRun(Verdict::Fail), steps, "line-1.station");
        const auto again =
            station::BuildCfx(kind, StoredRun(Verdict::Fail), steps, "line-1.station");
        EXPECT_EQ(first.json, again.json);
        EXPECT_EQ(first.id, station::CfxGuid(StoredRun(Verdict::Fail).uid, first.name));
        EXPECT_TRUE(std::regex_match(first.id, guid));
    }
}

TEST(Cfx, TimesAndSpansAreWrittenAsTheReferenceDoes) {
    EXPECT_EQ(station::CfxTime(1776672942500), "2026-04-20T08:15:42.5000000+00:00");
    EXPECT_EQ(station::CfxTime(0), "1970-01-01T00:00:00.0000000+00:00");
    EXPECT_EQ(station::CfxTimeSpan(85000), "00:01:25");
    EXPECT_EQ(station::CfxTimeSpan((26 * 3600 + 3 * 60 + 4) * 1000LL), "1.02:03:04");
}

TEST(Cfx, VerdictsBecomeTestAndWorkResults) {
    const struct {
        Verdict verdict;
        const char *test, *work, *unit;
    } cases[] = {{Verdict::Pass, "Passed", "Completed", "Pass"},
                 {Verdict::Fail, "Failed", "Completed", "Fail"},
                 {Verdict::Aborted, "Aborted", "Aborted", "Skip"},
                 {Verdict::Error, "Error", "Failed", "Skip"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(station::VerdictName(c.verdict));
        EXPECT_STREQ(station::CfxTestResult(c.verdict), c.test);
        EXPECT_STREQ(station::CfxWorkResult(c.verdict), c.work);
        const auto done = station::BuildCfx(CfxKind::WorkCompleted, StoredRun(c.verdict), {}, "h");
        EXPECT_EQ(Body(done).at("Result"), c.work);
        EXPECT_EQ(Body(done).at("Units").at(0).at("Status"), c.unit);
        const auto tested = station::BuildCfx(CfxKind::UnitsTested, StoredRun(c.verdict), {}, "h");
        EXPECT_EQ(Body(tested).at("TestedUnits").at(0).at("OverallResult"), c.test);
    }
}

TEST(Cfx, EnvelopeAndWorkMessagesCarryTheRunsTransaction) {
    const auto started =
        station::BuildCfx(CfxKind::WorkStarted, StoredRun(Verdict::None), {}, "l.s");
    const Json envelope = Json::parse(started.json);
    EXPECT_EQ(envelope.at("MessageName"), "CFX.Production.WorkStarted");
    EXPECT_EQ(envelope.at("Version"), "2.1");
    EXPECT_EQ(envelope.at("TimeStamp"), "2026-04-20T08:15:30.0000000+00:00");
    EXPECT_EQ(envelope.at("UniqueID"), started.id);
    EXPECT_EQ(envelope.at("Source"), "l.s");
    EXPECT_TRUE(envelope.at("Target").is_null() && envelope.at("RequestID").is_null());
    const Json body = envelope.at("MessageBody");
    EXPECT_EQ(body.at("$type"), "CFX.Production.WorkStarted, CFX");
    EXPECT_EQ(body.at("RecipeName"), "station.plan");
    EXPECT_EQ(body.at("Revision"), "3f9a61c2");
    EXPECT_EQ(body.at("UnitCount"), body.at("Units").size());
    const auto tested =
        station::BuildCfx(CfxKind::UnitsTested, StoredRun(Verdict::Pass), {}, "l.s");
    const auto done =
        station::BuildCfx(CfxKind::WorkCompleted, StoredRun(Verdict::Pass), {}, "l.s");
    EXPECT_EQ(body.at("TransactionID"), Body(tested).at("TransactionId"));
    EXPECT_EQ(body.at("TransactionID"), Body(done).at("TransactionID"));
    EXPECT_EQ(Body(done).at("PrimaryIdentifier"), "02:00:00:00:01:0a");
    EXPECT_EQ(done.Subject(), "l.s.CFX.Production.WorkCompleted");
    EXPECT_EQ(tested.Topic(), "CFX.Production.TestAndInspection");
}

TEST(Cfx, StepsBecomeTestsWithMeasurementsSymptomsAndErrors) {
    const std::vector<station::StepRow> steps = {
        Row(1, "ping 10.0.77.1", "3 ms", "PASS", "max=50"),
        Row(2, "volume 128", "128", "PASS", "min=100 max=200"),
        Row(3, "touch", "X 310 Y 42", "PASS"),
        Row(4, "ping 10.0.77.1", OverLimit(80, 50), "FAIL", "max=50"),
        Row(4, "ping 10.0.77.1", "4 ms", "PASS", "max=50", 2),
        Row(5, "usb TESTFILE.TXT", "file not on the stick", "FAIL"),
        Row(6, "can 0x12", "no answer from the fixture", "ERROR"),
    };
    const auto m = station::BuildCfx(CfxKind::UnitsTested, StoredRun(Verdict::Fail), steps, "l.s");
    const Json body = Body(m);
    EXPECT_EQ(body.at("TestMethod"), "FCT");
    EXPECT_EQ(body.at("Tester").at("OperatorIdentifier"), "ana");
    EXPECT_EQ(body.at("Tester").at("ActorType"), "Human");
    EXPECT_EQ(body.at("RecipeName"), "station.plan");
    EXPECT_EQ(body.at("RecipeRevision"), "3f9a61c2");
    EXPECT_EQ(body.at("SamplingInformation").at("SamplingMethod"), "NoSampling");
    const Json unit = body.at("TestedUnits").at(0);
    EXPECT_EQ(unit.at("UnitIdentifier"), "02:00:00:00:01:0a");
    const Json &tests = unit.at("Tests");
    ASSERT_EQ(tests.size(), steps.size());
    const auto value = [&](int test, int m) {
        return tests[test]["Measurements"][m]["MeasuredValue"];
    };
    const struct {
        int test;
        const char *name, *units;
        double value;
        Json min, max;
    } numbers[] = {{0, "round trip", "ms", 3, nullptr, 50.0},
                   {1, "volume", "level", 128, 100.0, 200.0},
                   {3, "round trip", "ms", 80, nullptr, 50.0}};
    for (const auto &n : numbers) {
        SCOPED_TRACE(n.test);
        const Json &measure = tests[n.test]["Measurements"][0];
        EXPECT_EQ(measure["$type"], "CFX.Structures.NumericMeasurement, CFX");
        EXPECT_EQ(measure["MeasurementName"], n.name);
        EXPECT_EQ(measure["Result"], tests[n.test]["Result"]);
        EXPECT_EQ(value(n.test, 0)["Value"], n.value);
        EXPECT_EQ(value(n.test, 0)["ValueUnits"], n.units);
        EXPECT_EQ(value(n.test, 0)["MinimumAcceptableValue"], n.min);
        EXPECT_EQ(value(n.test, 0)["MaximumAcceptableValue"], n.max);
        EXPECT_EQ(value(n.test, 0)["MaximumAcceptableValueUnits"], n.units);
    }
    EXPECT_EQ(value(2, 0)["Value"], 310.0);
    EXPECT_EQ(value(2, 1)["Value"], 42.0);
    EXPECT_EQ(tests[2]["Measurements"][1]["MeasurementName"], "Y");
    EXPECT_EQ(tests[4]["Comments"], "attempt 2");
    EXPECT_NE(tests[3]["UniqueIdentifier"], tests[4]["UniqueIdentifier"]);
    const Json &symptom = tests[5]["SymptomsFound"].at(0);
    EXPECT_EQ(tests[5]["Result"], "Failed");
    EXPECT_EQ(symptom["SymptomCode"], "usb");
    EXPECT_EQ(symptom["Description"], "file not on the stick");
    EXPECT_EQ(symptom["Status"], "NewlyDiscovered");
    EXPECT_EQ(symptom["Priority"], 1);
    // The station's own trouble is an error of the test, not a symptom of the board.
    EXPECT_EQ(tests[6]["Result"], "Error");
    EXPECT_EQ(tests[6]["Error"], "no answer from the fixture");
    EXPECT_TRUE(tests[6]["SymptomsFound"].empty());
    EXPECT_TRUE(tests[0]["Error"].is_null() && tests[0]["SymptomsFound"].empty());
}

TEST(Cfx, StationStateAndStoredEnvelopesReadBack) {
    const auto up = station::BuildStationState(true, 0, 1776672930000, "l.s");
    const auto down = station::BuildStationState(false, 3723000, 1776676653000, "l.s");
    EXPECT_NE(up.id, down.id);
    EXPECT_EQ(Body(up).at("OldState"), "6000");
    EXPECT_EQ(Body(up).at("NewState"), "1000");
    EXPECT_TRUE(Body(up).at("OldStateDuration").is_null());
    EXPECT_EQ(Body(down).at("NewState"), "6000");
    EXPECT_EQ(Body(down).at("OldStateDuration"), "01:02:03");
    station::CfxMessage back;
    ASSERT_TRUE(station::ParseCfx(down.json, back));
    EXPECT_EQ(back.id, down.id);
    EXPECT_EQ(back.name, "CFX.ResourcePerformance.StationStateChanged");
    EXPECT_EQ(back.source, "l.s");
    EXPECT_EQ(back.timeMs, down.timeMs);
    EXPECT_FALSE(station::ParseCfx("[1]", back));
    EXPECT_FALSE(station::ParseCfx("not json", back));
}

TEST(Cfx, TheStationFilesCfxTable) {
    char name[] = "/tmp/tvk-cfx-file-XXXXXX";
    const std::string dir = mkdtemp(name);
    const struct {
        const char *table;
        const char *error;  // part of the refusal, or nullptr
        const char *broker, *address, *handle, *passwordFile;
    } cases[] = {
        {"", nullptr, "", "/exchange/amq.topic", "line-1", ""},
        {"[cfx]\nbroker = \"bus:5672\"\n", nullptr, "bus:5672", "/exchange/amq.topic", "line-1",
         ""},
        {"[cfx]\nbroker = \"bus:5672\"\naddress = \"/exchange/cfx\"\nhandle = \"l1.st\"\n"
         "user = \"st\"\npassword_file = \"secret/bus\"\n",
         nullptr, "bus:5672", "/exchange/cfx", "l1.st", "/secret/bus"},
        {"[cfx]\nbroker = \"bus:5672\"\npassword = \"x\"\n", "cfx.password: unknown key", "", "",
         "", ""},
        {"[cfx]\nbroker = \"bus:5672\"\nuser = \"st\"\n", "cfx.password_file: missing", "", "", "",
         ""},
        {"[cfx]\nhandle = \"h\"\n", "cfx.broker: missing", "", "", "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.table);
        std::ofstream(dir + "/s.toml")
            << "name = \"line-1\"\nplan = \"p.plan\"\n"
            << c.table << "[[slot]]\nname = \"A\"\nport = \"/dev/null\"\n";
        station::StationConfig config;
        std::string error;
        const bool read = station::LoadStationFile(dir + "/s.toml", config, error);
        if (c.error != nullptr) {
            EXPECT_FALSE(read);
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
            continue;
        }
        ASSERT_TRUE(read) << error;
        EXPECT_EQ(config.cfx.amqp.broker, c.broker);
        EXPECT_EQ(config.cfx.amqp.address, c.address);
        EXPECT_EQ(config.cfx.handle, c.handle);
        EXPECT_EQ(config.cfx.amqp.passwordFile, *c.passwordFile ? dir + c.passwordFile : "");
    }
    std::filesystem::remove_all(dir);
}

TEST(Metrics, CountsRunsStepsBacklogAndPhases) {
    station::Metrics metrics(1000);
    metrics.RunEnded("A", Verdict::Pass);
    metrics.RunEnded("A", Verdict::Pass);
    metrics.RunEnded("B \"2\"", Verdict::Fail);
    metrics.StepEnded("ping 10.0.77.1", 0.07);
    metrics.StepEnded("ping 10.0.77.1", 3);
    station::SlotView a, b;
    a.name = "A";
    a.phase = station::SlotPhase::Running;
    b.name = "B \"2\"";
    const std::string text =
        metrics.Format({a, b}, {{"cfx", 3, 0, 0, "connection refused"}}, 61500);
    for (const char *line : {
             "station_runs_total{slot=\"A\",verdict=\"PASS\"} 2\n",
             "station_runs_total{slot=\"A\",verdict=\"FAIL\"} 0\n",
             "station_runs_total{slot=\"B \\\"2\\\"\",verdict=\"FAIL\"} 1\n",
             "station_step_duration_seconds_bucket{step=\"ping 10.0.77.1\",le=\"0.05\"} 0\n",
             "station_step_duration_seconds_bucket{step=\"ping 10.0.77.1\",le=\"0.1\"} 1\n",
             "station_step_duration_seconds_bucket{step=\"ping 10.0.77.1\",le=\"5\"} 2\n",
             "station_step_duration_seconds_bucket{step=\"ping 10.0.77.1\",le=\"+Inf\"} 2\n",
             "station_step_duration_seconds_count{step=\"ping 10.0.77.1\"} 2\n",
             "station_outbox_waiting{target=\"cfx\"} 3\n",
             "station_slot_phase{slot=\"A\",phase=\"running\"} 1\n",
             "station_slot_phase{slot=\"A\",phase=\"idle\"} 0\n",
             "station_uptime_seconds 60.5\n",
         }) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin\n" << text;
    }
}

}  // namespace
