// The factory link on the wire: CFX envelopes through a real RabbitMQ with its AMQP 1.0 plugin
// to a consumer on a bound queue, the broker's outages, and the metrics page through promtool.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "AmqpSender.h"
#include "Cfx.h"
#include "CfxSender.h"
#include "Metrics.h"
#include "Process.h"
#include "RabbitServer.h"
#include "Runs.h"
#include "Store.h"
#include "TempDir.h"

namespace {

using station::CfxKind;
using support::TempDir;
using tvk_test::RabbitServer;

class CfxBus : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { rabbit = new RabbitServer(); }
    static void TearDownTestSuite() {
        delete rabbit;
        rabbit = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(rabbit->ok()) << rabbit->error(); }

    station::AmqpOptions Options() const {
        station::AmqpOptions options;
        options.broker = rabbit->Broker();
        options.user = rabbit->User();
        options.passwordFile = rabbit->PasswordFile();
        options.timeoutMs = 5000;
        return options;
    }

    // One failed run, stored for real, as its three messages.
    std::vector<station::CfxMessage> StoredRun(const std::string &folder) {
        std::string error;
        auto store = station::Store::Open(folder + "/results.db", false, error);
        EXPECT_TRUE(store) << error;
        const int64_t run = store->BeginRun(
            support::NewRun("line-1", "A", "station.plan", "3f9a", "ana", 1000), error);
        store->SetBoard(run, "02:00:00:00:01:0a", 1500, error);
        store->AddStep({run, 1, 1, "ping 10.0.77.1", "3 ms", "max=50", "PASS", 0.1, "", ""}, error);
        store->AddStep({run, 2, 1, "usb TESTFILE.TXT", "no file", "", "FAIL", 0.2, "", ""}, error);
        store->EndRun(run, station::Verdict::Fail, 2000, "usb TESTFILE.TXT", "no file", error);
        station::RunRecord record;
        EXPECT_TRUE(store->Run(run, record));
        std::vector<station::CfxMessage> out;
        for (CfxKind kind : {CfxKind::WorkStarted, CfxKind::UnitsTested, CfxKind::WorkCompleted}) {
            out.push_back(station::BuildCfx(kind, record, store->Steps(run), "line-1.station"));
        }
        return out;
    }

    static RabbitServer *rabbit;
};

RabbitServer *CfxBus::rabbit = nullptr;

TEST_F(CfxBus, EnvelopesArriveAsDurableDataSectionsWithTheReferencesProperties) {
    TempDir dir("tvk-cfx");
    const auto sent = StoredRun(dir.path());
    const auto result = station::AmqpSender(Options()).Send(sent);
    ASSERT_EQ(result.accepted, sent.size()) << result.error;
    EXPECT_EQ(result.error, "");
    const auto got = rabbit->Take(sent.size(), 10000);
    ASSERT_EQ(got.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        SCOPED_TRACE(sent[i].name);
        EXPECT_EQ(got[i].id, sent[i].id);
        EXPECT_TRUE(got[i].dataSection);
        EXPECT_TRUE(got[i].durable);
        EXPECT_EQ(got[i].body, sent[i].json);
        EXPECT_EQ(got[i].subject, "line-1.station." + sent[i].name);
        EXPECT_EQ(got[i].replyTo, "line-1.station");
        EXPECT_EQ(got[i].contentType, "application/json; charset=\"utf-8\"");
        EXPECT_EQ(got[i].creationMs, sent[i].timeMs);
        EXPECT_EQ(got[i].properties.at("cfx-message"), sent[i].name);
        EXPECT_EQ(got[i].properties.at("cfx-handle"), "line-1.station");
        EXPECT_EQ(got[i].properties.at("cfx-topic"), sent[i].Topic());
        const auto envelope = nlohmann::json::parse(got[i].body);
        EXPECT_EQ(envelope.at("UniqueID"), got[i].id);
    }
    EXPECT_EQ(nlohmann::json::parse(got[1].body)["MessageBody"]["TestedUnits"][0]["UnitIdentifier"],
              "02:00:00:00:01:0a");
}

TEST_F(CfxBus, RefusalsAndOutagesAreErrorsWithoutThePasswordAndAcceptedMessagesSurvive) {
    TempDir dir("tvk-cfx");
    const auto sent = StoredRun(dir.path());
    station::AmqpOptions wrong = Options();
    wrong.passwordFile = dir.path() + "/wrong";
    std::ofstream(wrong.passwordFile) << "not-" << rabbit->Password() << '\n';
    auto result = station::AmqpSender(wrong).Send(sent);
    EXPECT_EQ(result.accepted, 0u);
    EXPECT_FALSE(result.rejected) << "a login refused is no verdict on the message";
    EXPECT_NE(result.error, "");
    EXPECT_EQ(result.error.find(rabbit->Password()), std::string::npos) << result.error;
    wrong.passwordFile = dir.path() + "/missing";
    result = station::AmqpSender(wrong).Send(sent);
    EXPECT_EQ(result.accepted, 0u);
    EXPECT_NE(result.error.find("password file"), std::string::npos) << result.error;

    result = station::AmqpSender(Options()).Send({sent[0]});
    ASSERT_EQ(result.accepted, 1u) << result.error;
    ASSERT_TRUE(rabbit->Stop());
    result = station::AmqpSender(Options()).Send(sent);
    EXPECT_EQ(result.accepted, 0u);
    EXPECT_NE(result.error, "") << "a stopped broker must not count as sent";
    ASSERT_TRUE(rabbit->Start()) << rabbit->error();
    result = station::AmqpSender(Options()).Send({sent[1], sent[2]});
    ASSERT_EQ(result.accepted, 2u) << result.error;
    const auto got = rabbit->Take(3, 10000);
    ASSERT_EQ(got.size(), 3u) << "the durable queue keeps what the broker accepted";
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(got[i].id, sent[i].id);
    for (const auto &entry : std::filesystem::recursive_directory_iterator(rabbit->Folder())) {
        if (!entry.is_regular_file() || entry.path() == rabbit->PasswordFile()) continue;
        if (entry.path().string().find("/log/") == std::string::npos) continue;
        std::ifstream in(entry.path());
        const std::string text((std::istreambuf_iterator<char>(in)), {});
        EXPECT_EQ(text.find(rabbit->Password()), std::string::npos) << entry.path();
    }
}

// Runs on two slots, committed as the station commits them.
struct Line {
    std::unique_ptr<station::Store> store;
    int64_t clock = 1776672930000;
    std::vector<int64_t> runs;

    explicit Line(const std::string &folder) {
        std::string error;
        store = station::Store::Open(folder + "/results.db",
                                     {{station::kCfxTarget, station::OutboxKinds::Edges}}, error);
        EXPECT_TRUE(store) << error;
    }
    void Run(const std::string &slot, bool pass) {
        std::string error;
        const int64_t run = store->BeginRun(
            support::NewRun("line-1", slot, "station.plan", "3f9a", "ana", ++clock), error);
        ASSERT_NE(run, 0) << error;
        store->SetBoard(run, "board-" + std::to_string(run), ++clock, error);
        store->AddStep({run, 1, 1, "ping 10.0.77.1", "3 ms", "max=50", "PASS", 0.1, "", ""}, error);
        store->AddStep({run, 2, 1, "volume 200", "200", "", pass ? "PASS" : "FAIL", 0.1, "", ""},
                       error);
        ASSERT_TRUE(store->EndRun(run, pass ? station::Verdict::Pass : station::Verdict::Fail,
                                  ++clock, "", "", error))
            << error;
        runs.push_back(run);
    }
    // Every message the stored runs stand for, rebuilt from SQLite: id to (slot, run, kind).
    std::map<std::string, std::string> Expected() const {
        std::map<std::string, std::string> out;
        for (int64_t run : runs) {
            station::RunRecord record;
            EXPECT_TRUE(store->Run(run, record));
            for (CfxKind kind :
                 {CfxKind::WorkStarted, CfxKind::UnitsTested, CfxKind::WorkCompleted}) {
                const auto m = station::BuildCfx(kind, record, store->Steps(run), "line-1.station");
                out[m.id] = record.row.slot + " " + std::to_string(run) + " " + m.name;
            }
        }
        return out;
    }
};

bool WaitUntil(const std::function<bool()> &done, int seconds) {
    for (int i = 0; i < seconds * 10 && !done(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return done();
}

TEST_F(CfxBus, TheOutboxReachesTheBusOnceByIdAcrossAnOutageAndAResend) {
    TempDir dir("tvk-cfx");
    Line line(dir.path());
    station::CfxOptions options{Options(), "line-1.station"};
    // A crash after the broker accepted but before the entry left the outbox: the sender must
    // send it again, under the same id.
    line.Run("A", true);
    station::CfxSender early(*line.store, options);
    std::vector<station::CfxMessage> resent;
    for (const auto &item : line.store->Outbox(station::kCfxTarget, 10)) {
        std::string error;
        ASSERT_TRUE(early.Messages(item, resent, error)) << error;
    }
    ASSERT_EQ(station::AmqpSender(Options()).Send(resent).accepted, 3u);

    station::CfxSender sender(*line.store, options);
    sender.Start();
    std::string error;
    ASSERT_TRUE(sender.StationUp(line.clock, error)) << error;
    line.Run("B", false);
    sender.Wake();
    ASSERT_TRUE(WaitUntil([&] { return sender.Status().waiting == 0; }, 20))
        << sender.Status().lastError;
    ASSERT_TRUE(rabbit->Stop());
    for (int i = 0; i < 2; ++i) {
        line.Run("A", false);
        line.Run("B", true);
        sender.Wake();
    }
    ASSERT_TRUE(WaitUntil([&] { return !sender.Status().lastError.empty(); }, 20));
    const auto down = sender.Status();
    EXPECT_EQ(down.waiting, 8) << "a begin and an end entry for each of the four runs";
    EXPECT_EQ(down.lastError.find(rabbit->Password()), std::string::npos) << down.lastError;
    ASSERT_TRUE(rabbit->Start()) << rabbit->error();
    ASSERT_TRUE(sender.StationDown(line.clock, error)) << error;
    EXPECT_TRUE(sender.Stop(std::chrono::seconds(20))) << sender.Status().lastError;

    const auto expected = line.Expected();
    const auto got = rabbit->Take(0, 5000);
    std::map<std::string, int> seen;
    std::map<std::string, std::vector<std::string>> bySlot;  // each slot's messages in order
    int states = 0;
    for (const auto &m : got) {
        if (m.properties.at("cfx-message") == "CFX.ResourcePerformance.StationStateChanged") {
            ++states;
            continue;
        }
        ASSERT_TRUE(expected.count(m.id)) << "a message no stored run stands for: " << m.body;
        if (seen[m.id]++ == 0) bySlot[expected.at(m.id).substr(0, 1)].push_back(expected.at(m.id));
    }
    EXPECT_EQ(states, 2);
    EXPECT_EQ(seen.size(), expected.size()) << "every stored run's messages, by id";
    EXPECT_EQ(seen[resent[0].id], 2) << "the resend repeats the accepted message's id";
    for (const auto &[slot, messages] : bySlot) {
        std::vector<std::string> sorted;
        for (const auto &[id, what] : expected) {
            if (what.substr(0, 1) == slot) sorted.push_back(what);
        }
        // Run ids grow with commit order, and each run's three kinds come in the order sent.
        const auto order = [](const std::string &what) {
            const int64_t run = std::stoll(what.substr(2));
            const int kind = what.find("WorkStarted") != std::string::npos   ? 0
                             : what.find("UnitsTested") != std::string::npos ? 1
                                                                             : 2;
            return run * 3 + kind;
        };
        std::sort(sorted.begin(), sorted.end(),
                  [&](const auto &a, const auto &b) { return order(a) < order(b); });
        EXPECT_EQ(messages, sorted) << "slot " << slot;
    }
}

TEST(CfxMetrics, PromtoolAcceptsTheMetricsPage) {
    station::Metrics metrics(0);
    metrics.RunEnded("A", station::Verdict::Pass);
    metrics.RunEnded("B", station::Verdict::Error);
    metrics.StepEnded("ping 10.0.77.1", 0.07);
    metrics.StepEnded("touch \"centre\"", 12);
    station::SlotView a, b;
    a.name = "A";
    b.name = "B";
    b.phase = station::SlotPhase::Confirm;
    const std::string page =
        metrics.Format({a, b}, {{"postgres", 0, 0, 0, ""}, {"cfx", 4, 1, 5, "refused"}}, 90000);
    const auto check = support::RunProcess({"promtool", "check", "metrics"}, page, 30000);
    EXPECT_EQ(check.exitCode, 0) << check.out << check.err << page;
    EXPECT_EQ(check.out + check.err, "") << "promtool's lint found something";
}

}  // namespace
