// The factory link on the wire: CFX envelopes through a real RabbitMQ with its AMQP 1.0 plugin
// to a consumer on a bound queue, the broker's outages, and the metrics page through promtool.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "AmqpSender.h"
#include "Cfx.h"
#include "Metrics.h"
#include "Process.h"
#include "RabbitServer.h"
#include "Store.h"

namespace {

using station::CfxKind;
using tvk_test::RabbitServer;

struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/tvk-cfx-XXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};

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
        const int64_t run =
            store->BeginRun({"line-1", "A", "station.plan", "3f9a", "ana", 1000}, error);
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
    TempDir dir;
    const auto sent = StoredRun(dir.path);
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
    TempDir dir;
    const auto sent = StoredRun(dir.path);
    station::AmqpOptions wrong = Options();
    wrong.passwordFile = dir.path + "/wrong";
    std::ofstream(wrong.passwordFile) << "not-" << rabbit->Password() << '\n';
    auto result = station::AmqpSender(wrong).Send(sent);
    EXPECT_EQ(result.accepted, 0u);
    EXPECT_FALSE(result.rejected) << "a login refused is no verdict on the message";
    EXPECT_NE(result.error, "");
    EXPECT_EQ(result.error.find(rabbit->Password()), std::string::npos) << result.error;
    wrong.passwordFile = dir.path + "/missing";
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
