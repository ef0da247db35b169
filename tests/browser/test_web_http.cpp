// The operator page's server over HTTP: who may change what, answers to bad requests, and text
// from boards passed on as data. The page itself is tested in a real browser (tests/browser).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "RunReport.h"
#include "StationFile.h"
#include "UniqueFd.h"
#include "Web.h"

namespace station {
namespace {

using json = nlohmann::json;

WebOptions Options(const std::string &address, const std::string &token) {
    WebOptions options;
    options.address = address;
    options.token = token;
    return options;
}

const std::string kHostile = "<script>alert(1)</script>\xff";

class FakeStation : public StationControl, public ResultsQuery {
  public:
    std::string StationName() const override { return "line <b>1</b>"; }
    std::string PlanName() const override { return "sample"; }
    std::vector<SlotView> Slots() const override {
        std::lock_guard lock(mutex_);
        SlotView a, b;
        a.name = "A";
        a.board = kHostile;
        a.verdict = Verdict::Fail;
        a.failedStep = "mac";
        a.failedReading = kHostile;
        b.name = "B";
        b.phase = SlotPhase::Confirm;
        return {a, b};
    }
    bool StartSlot(const std::string &slot, std::string &error) override {
        std::lock_guard lock(mutex_);
        started.push_back(slot);
        if (slot == "B") error = "slot B is running";
        return slot != "B";
    }
    bool Answer(const std::string &slot, bool yes, std::string &) override {
        std::lock_guard lock(mutex_);
        answers.push_back(slot + (yes ? ":yes" : ":no"));
        return true;
    }
    bool EnterIdentity(const std::string &slot, const std::string &text, std::string &) override {
        std::lock_guard lock(mutex_);
        identities.push_back(slot + ":" + text);
        return true;
    }
    bool RecordRepair(const RepairRow &repair, std::string &) override {
        std::lock_guard lock(mutex_);
        repairs.push_back(repair);
        return true;
    }
    int Subscribe(std::function<void()> onChange) override {
        std::lock_guard lock(mutex_);
        subscribers.push_back(std::move(onChange));
        return int(subscribers.size()) - 1;
    }
    void Unsubscribe(int id) override {
        std::lock_guard lock(mutex_);
        subscribers[size_t(id)] = nullptr;
    }
    std::vector<OutboxStatus> Outboxes() const override {
        return {{"postgres", 0, 0, 0, ""}, {"cfx", 3, 0, 5, "broker <refused>"}};
    }
    void Change() {
        std::lock_guard lock(mutex_);
        for (auto &s : subscribers)
            if (s) s();
    }
    std::vector<RunRow> Runs(int64_t) const override {
        RunRow r;
        r.id = 7;
        r.board = "=HYPERLINK(\"x\")";
        r.slot = "A";
        r.verdict = Verdict::Fail;
        r.failedReading = kHostile;
        return {r};
    }
    std::vector<RunRow> History(const std::string &board) const override {
        auto rows = Runs(0);
        rows[0].board = board;
        return rows;
    }
    std::vector<RepairRow> Repairs(const std::string &board) const override {
        std::lock_guard lock(mutex_);
        std::vector<RepairRow> rows;
        for (const auto &r : repairs)
            if (r.board == board) rows.push_back(r);
        return rows;
    }
    YieldReport Yield(int64_t sinceMs) const override {
        YieldReport y;
        y.sinceMs = sinceMs;
        y.failuresByStep.push_back({kHostile, 2, 1.0, 2.0});
        return y;
    }

    mutable std::mutex mutex_;
    std::vector<std::string> started, answers, identities;
    std::vector<RepairRow> repairs;
    std::vector<std::function<void()>> subscribers;
};

class WebTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        server = StartWebServer(station, station, Options("127.0.0.1:0", "s3cret-token"), error);
        ASSERT_TRUE(server) << error;
        port = std::stoi(server->Url().substr(server->Url().rfind(':') + 1));
        origin = "http://127.0.0.1:" + std::to_string(port);
    }

    httplib::Result Post(const std::string &path, const std::string &body,
                         httplib::Headers headers) {
        httplib::Client client("127.0.0.1", port);
        return client.Post(path, headers, body, "application/json");
    }
    httplib::Headers Good() { return {{"X-Station-Token", "s3cret-token"}, {"Origin", origin}}; }

    // Bytes written straight to the socket, for requests a client library would not send.
    std::string Raw(const std::string &request) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(uint16_t(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        EXPECT_EQ(write(fd, request.data(), request.size()), ssize_t(request.size()));
        std::string reply;
        char buf[4096];
        // The head is enough; the library may keep a bad request's connection open.
        for (ssize_t n;
             reply.find("\r\n\r\n") == std::string::npos && (n = read(fd, buf, sizeof buf)) > 0;)
            reply.append(buf, size_t(n));
        close(fd);
        return reply;
    }

    int Status(const std::string &request) {
        std::string reply = Raw(request);
        return reply.size() >= 12 ? std::stoi(reply.substr(9, 3)) : 0;
    }
    int StateWithHost(const std::string &host) {
        return Status("GET /api/state HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n");
    }

    FakeStation station;
    std::unique_ptr<WebServer> server;
    int port = 0;
    std::string origin;
};

TEST_F(WebTest, StateChangingRequestsNeedTheTokenAndTheSameOrigin) {
    struct Case {
        const char *what;
        httplib::Headers headers;
        int status;
    } cases[] = {
        {"no token", {{"Origin", origin}}, 401},
        {"wrong token", {{"X-Station-Token", "s3cret-tokeX"}, {"Origin", origin}}, 403},
        {"token prefix", {{"X-Station-Token", "s3cret"}}, 403},
        {"foreign origin",
         {{"X-Station-Token", "s3cret-token"}, {"Origin", "http://evil.example"}},
         403},
        {"other port",
         {{"X-Station-Token", "s3cret-token"}, {"Origin", "http://127.0.0.1:1"}},
         403},
        {"own page", Good(), 200},
        {"no origin (a tool)", {{"X-Station-Token", "s3cret-token"}}, 200},
    };
    auto requests = [&] {
        return station.started.size() + station.answers.size() + station.identities.size();
    };
    for (const auto &c : cases) {
        station.started.clear();
        station.answers.clear();
        station.identities.clear();
        for (const char *path : {"/api/start", "/api/answer", "/api/identity"}) {
            const size_t before = requests();
            auto res = Post(path, R"({"slot":"A","yes":false,"text":"SN 1"})", c.headers);
            ASSERT_TRUE(res) << c.what;
            EXPECT_EQ(res->status, c.status) << c.what << " " << path << ": " << res->body;
            EXPECT_EQ(requests() > before, c.status == 200) << c.what << " " << path;
        }
    }
    EXPECT_EQ(station.answers, std::vector<std::string>{"A:no"});
    EXPECT_EQ(station.identities, std::vector<std::string>{"A:SN 1"});
    EXPECT_EQ(server->Token(), "s3cret-token");
}

TEST_F(WebTest, ARepairNeedsTheTokenABoardAndANote) {
    const std::string good = R"({"board":"B-1","note":"  replaced U12 ","operator":"ann"})";
    EXPECT_EQ(Post("/api/repair", good, {{"Origin", origin}})->status, 401);
    EXPECT_EQ(Post("/api/repair", good,
                   {{"X-Station-Token", "s3cret-token"}, {"Origin", "http://evil.example"}})
                  ->status,
              403);
    for (const std::string &bad :
         std::vector<std::string>{R"({"board":"B-1","note":"  "})", R"({"board":"","note":"x"})",
                                  R"({"note":"x"})", R"({"board":"B-1","note":7})",
                                  json{{"board", "B-1"}, {"note", std::string(501, 'x')}}.dump()})
        EXPECT_EQ(Post("/api/repair", bad, Good())->status, 400) << bad;
    EXPECT_TRUE(station.repairs.empty());
    ASSERT_EQ(Post("/api/repair", good, Good())->status, 200);
    ASSERT_EQ(station.repairs.size(), 1u);
    EXPECT_EQ(station.repairs[0].note, "replaced U12");
    EXPECT_EQ(station.repairs[0].operatorName, "ann");
    auto listed = httplib::Client("127.0.0.1", port).Get("/api/repairs?board=B-1");
    EXPECT_EQ(json::parse(listed->body)[0]["note"], "replaced U12");
}

TEST_F(WebTest, ServerMakesAnUnguessableTokenWhenTheFileGivesNone) {
    std::string error;
    auto a = StartWebServer(station, station, Options("127.0.0.1:0", ""), error);
    auto b = StartWebServer(station, station, Options("127.0.0.1:0", ""), error);
    ASSERT_TRUE(a && b) << error;
    EXPECT_GE(a->Token().size(), 32u);
    EXPECT_NE(a->Token(), b->Token());
}

TEST_F(WebTest, BadRequestsAreAnsweredWithAMessage) {
    struct Case {
        const char *what, *path, *body, *contentType;
        int status;
    } posts[] = {
        {"not JSON", "/api/start", "{slot:", "application/json", 400},
        {"not an object", "/api/start", "[\"A\"]", "application/json", 400},
        {"no slot", "/api/start", "{}", "application/json", 400},
        {"slot not text", "/api/start", "{\"slot\":3}", "application/json", 400},
        {"unknown slot", "/api/start", "{\"slot\":\"Z\"}", "application/json", 404},
        {"station refuses", "/api/start", "{\"slot\":\"B\"}", "application/json", 409},
        {"answer without yes", "/api/answer", "{\"slot\":\"B\"}", "application/json", 400},
        {"serial not text", "/api/identity", "{\"slot\":\"B\",\"text\":7}", "application/json",
         400},
        {"form post", "/api/start", "slot=A", "application/x-www-form-urlencoded", 415},
    };
    for (const auto &c : posts) {
        httplib::Client client("127.0.0.1", port);
        auto res = client.Post(c.path, Good(), c.body, c.contentType);
        ASSERT_TRUE(res) << c.what;
        EXPECT_EQ(res->status, c.status) << c.what << ": " << res->body;
        auto body = json::parse(res->body, nullptr, false);
        ASSERT_TRUE(body.is_object() && body["error"].is_string()) << c.what << ": " << res->body;
    }
    auto refused = Post("/api/start", R"({"slot":"B"})", Good());
    EXPECT_NE(refused->body.find("slot B is running"), std::string::npos);

    struct Get {
        const char *path;
        int status;
    } gets[] = {{"/api/runs?since=abc", 400},  {"/api/runs?since=-5", 400},
                {"/api/yield?since=1e9", 400}, {"/api/history", 400},
                {"/api/nothing", 404},         {"/api/runs?since=0", 200}};
    httplib::Client client("127.0.0.1", port);
    for (const auto &g : gets) {
        auto res = client.Get(g.path);
        ASSERT_TRUE(res) << g.path;
        EXPECT_EQ(res->status, g.status) << g.path << ": " << res->body;
        EXPECT_FALSE(res->body.empty()) << g.path;
    }

    EXPECT_EQ(Post("/api/start", std::string(100 * 1024, ' '), Good())->status, 413);
    EXPECT_EQ(Raw("GARBAGE\r\nConnection: close\r\n\r\n").substr(0, 12), "HTTP/1.1 400");
    // Still serving after all of that.
    EXPECT_EQ(client.Get("/api/state")->status, 200);
}

// A station file whose only table besides the slot is [web] with `lines`.
bool LoadWebSection(const std::string &lines, StationConfig &config, std::string &error) {
    char folder[] = "/tmp/web-file-XXXXXX";
    if (!mkdtemp(folder)) return false;
    const std::string path = std::string(folder) + "/line.toml";
    std::ofstream(path) << "name = \"L\"\nplan = \"p.plan\"\n[[slot]]\nname = \"A\"\n"
                           "port = \"tty\"\n[web]\n"
                        << lines;
    const bool ok = LoadStationFile(path, config, error);
    std::filesystem::remove_all(folder);
    return ok;
}

TEST(WebStationFile, HostsMustBeAListOfNames) {
    for (const char *hosts : {"hosts = \"station.example\"\n", "hosts = [\"a\", 1]\n"}) {
        StationConfig config;
        std::string error;
        EXPECT_FALSE(LoadWebSection(hosts, config, error)) << hosts;
        EXPECT_NE(error.find(":7: web.hosts: must be a list of strings"), std::string::npos)
            << error;
    }
}

// A rebound name (any name that resolves to 127.0.0.1) must not reach a loopback station; only
// loopback names and literals, and names the station file lists, with the station's own port.
TEST_F(WebTest, OnlyLoopbackHostNamesReachTheStation) {
    const std::string p = ":" + std::to_string(port);
    struct Case {
        std::string host;
        int status;
    } cases[] = {
        {"localhost" + p, 200},
        {"LocalHost" + p, 200},
        {"127.0.0.1" + p, 200},
        {"127.3.2.1" + p, 200},
        {"[::1]" + p, 200},
        {"station.example" + p, 200},
        {"evil.example" + p, 403},
        {"127.evil.example" + p, 403},
        {"127.0.0.1.nip.io" + p, 403},
        {"127.0.0.1@evil.example" + p, 403},
        {"evil.example@127.0.0.1" + p, 403},
        {"localhost.evil.example" + p, 403},
        {"127.0.0.1:1", 403},
        {"127.0.0.1", 403},
        {"127.0.0.1" + p + "x", 403},
        {"127.0.0.256" + p, 403},
        {"[::1" + p, 403},
        {"[::ffff:127.0.0.1]" + p, 403},
        {"", 403},
    };
    std::string error;
    StationConfig config;
    ASSERT_TRUE(
        LoadWebSection("address = \"127.0.0.1:0\"\nhosts = [\"Station.example\"]\n", config, error))
        << error;
    config.webOptions.token = "s3cret-token";
    server = StartWebServer(station, station, config.webOptions, error);
    ASSERT_TRUE(server) << error;
    port = std::stoi(server->Url().substr(server->Url().rfind(':') + 1));
    const std::string q = ":" + std::to_string(port);
    for (auto &c : cases) {
        if (c.host.size() >= p.size() && c.host.find(p) != std::string::npos)
            c.host.replace(c.host.find(p), p.size(), q);
        EXPECT_EQ(StateWithHost(c.host), c.status) << c.host;
    }
}

// The printed link works once; the cookie it gives is out of script's and other sites' reach,
// and with it the page's own writes go through (and only the page's own).
TEST_F(WebTest, APairingCodeGivesOneBrowserASession) {
    std::string link = server->PairingLink(), other = server->PairingLink();
    ASSERT_EQ(link.rfind(server->Url() + "pair?code=", 0), 0u) << link;
    EXPECT_EQ(link.find(server->Token()), std::string::npos) << "the token is not in the link";
    EXPECT_NE(link, other);
    httplib::Client client("127.0.0.1", port);
    const std::string path = link.substr(server->Url().size() - 1);
    auto first = client.Get(path);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->status, 303);
    std::string cookie = first->get_header_value("Set-Cookie");
    for (const char *part : {"HttpOnly", "SameSite=Strict", "Path=/"})
        EXPECT_NE(cookie.find(part), std::string::npos) << cookie;
    auto again = client.Get(path);
    EXPECT_EQ(again->status, 303);
    EXPECT_FALSE(again->has_header("Set-Cookie")) << "a code works once";
    EXPECT_FALSE(
        client.Get("/pair?code=0123456789abcdef0123456789abcdef")->has_header("Set-Cookie"));

    const std::string session = cookie.substr(0, cookie.find(';'));
    EXPECT_EQ(session.find(server->Token()), std::string::npos) << "the token is not the cookie";
    auto unlocked = [&](httplib::Headers h) {
        return json::parse(client.Get("/api/session", h)->body)["unlocked"].get<bool>();
    };
    EXPECT_TRUE(unlocked({{"Cookie", "theme=dark; " + session}}));
    EXPECT_FALSE(unlocked({{"Cookie", session + "x"}}));
    EXPECT_FALSE(unlocked({}));
    EXPECT_EQ(
        Post("/api/start", R"({"slot":"A"})", {{"Cookie", session}, {"Origin", origin}})->status,
        200);
    EXPECT_EQ(Post("/api/start", R"({"slot":"A"})", {{"Cookie", session}})->status, 403)
        << "a cookie alone does not say where the request comes from";
    EXPECT_EQ(Post("/api/start", R"({"slot":"A"})",
                   {{"Cookie", session}, {"Origin", "http://evil.example"}})
                  ->status,
              403);
    auto typed = Post("/api/token", "{}", Good());
    EXPECT_EQ(typed->get_header_value("Set-Cookie"), cookie) << "a typed token gives the same";

    // An unlocked page asks for a link for another screen; nobody else gets one.
    EXPECT_EQ(Post("/api/pair", "{}", {{"Origin", origin}})->status, 401);
    EXPECT_EQ(
        Post("/api/pair", "{}", {{"Cookie", session}, {"Origin", "http://evil.example"}})->status,
        403);
    auto fresh = Post("/api/pair", "{}", {{"Cookie", session}, {"Origin", origin}});
    ASSERT_EQ(fresh->status, 200) << fresh->body;
    const std::string next = json::parse(fresh->body)["link"];
    ASSERT_EQ(next.rfind(server->Url() + "pair?code=", 0), 0u) << next;
    EXPECT_EQ(client.Get(next.substr(server->Url().size() - 1))->get_header_value("Set-Cookie"),
              cookie);
}

// The cookie is made from the token: a restart with the same token keeps every page unlocked,
// and a cookie holding the token itself unlocks nothing.
TEST_F(WebTest, ASessionOutlivesARestartWithoutHoldingTheToken) {
    auto cookie = [](WebServer &s) {
        auto res =
            httplib::Client(s.Url().substr(0, s.Url().size() - 1))
                .Post("/api/token", {{"X-Station-Token", s.Token()}}, "{}", "application/json");
        std::string set = res->get_header_value("Set-Cookie");
        return set.substr(set.find('=') + 1, set.find(';') - set.find('=') - 1);
    };
    const std::string value = cookie(*server);
    EXPECT_EQ(value.find("s3cret"), std::string::npos) << value;
    EXPECT_EQ(value.size(), 64u) << value;
    std::string error;
    auto same = StartWebServer(station, station, Options("127.0.0.1:0", "s3cret-token"), error);
    auto other = StartWebServer(station, station, Options("127.0.0.1:0", "other-token1"), error);
    ASSERT_TRUE(same && other) << error;
    EXPECT_EQ(cookie(*same), value);
    EXPECT_NE(cookie(*other), value);
    auto unlocked = [&](WebServer &s, const std::string &v) {
        const std::string url = s.Url().substr(0, s.Url().size() - 1);
        const std::string name = "station_session_" + url.substr(url.rfind(':') + 1);
        auto res = httplib::Client(url).Get("/api/session", {{"Cookie", name + "=" + v}});
        return json::parse(res->body)["unlocked"].get<bool>();
    };
    EXPECT_TRUE(unlocked(*same, value));
    EXPECT_FALSE(unlocked(*other, value));
    EXPECT_FALSE(unlocked(*same, "s3cret-token"));
}

// A page that went away without closing its stream gives its place back at the next
// heartbeat, without any change in the station to write.
TEST_F(WebTest, AHeartbeatFreesTheStreamsOfPagesThatWentAway) {
    std::vector<std::unique_ptr<UniqueFd>> streams;
    // The status of a new stream, whose socket is kept open in `streams`.
    auto open = [&] {
        auto &fd = *streams.emplace_back(new UniqueFd(socket(AF_INET, SOCK_STREAM, 0)));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(uint16_t(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        const std::string request =
            "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
        EXPECT_EQ(write(fd.get(), request.data(), request.size()), ssize_t(request.size()));
        char head[13] = {};
        EXPECT_EQ(read(fd.get(), head, 12), 12);
        return std::string(head);
    };
    for (int i = 0; i < 16; ++i) ASSERT_EQ(open(), "HTTP/1.1 200") << "stream " << i;
    EXPECT_EQ(open(), "HTTP/1.1 503") << "all places taken";
    streams.pop_back();
    // Gone as a crashed browser goes: a reset, no orderly close.
    linger reset{1, 0};
    setsockopt(streams.back()->get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    streams.pop_back();
    std::string head;
    for (int i = 0; i < 100 && head != "HTTP/1.1 200"; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!head.empty()) streams.pop_back();
        head = open();
    }
    EXPECT_EQ(head, "HTTP/1.1 200") << "the place was not given back";
}

// Made once and kept private; the next start finds the same one, so open pages stay unlocked.
TEST(WebToken, KeptInAPrivateFileAcrossRestarts) {
    FakeStation station;
    char folder[] = "/tmp/web-token-XXXXXX";
    ASSERT_TRUE(mkdtemp(folder));
    WebOptions options = Options("127.0.0.1:0", "");
    options.tokenFile = std::string(folder) + "/results.db.page-token";
    std::string error, first;
    {
        auto server = StartWebServer(station, station, options, error);
        ASSERT_TRUE(server) << error;
        first = server->Token();
    }
    struct stat st {};
    ASSERT_EQ(stat(options.tokenFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    auto again = StartWebServer(station, station, options, error);
    ASSERT_TRUE(again) << error;
    EXPECT_EQ(again->Token(), first);
    EXPECT_GE(first.size(), 32u);
    again.reset();
    chmod(options.tokenFile.c_str(), 0644);
    EXPECT_FALSE(StartWebServer(station, station, options, error)) << "a token others can read";
    EXPECT_NE(error.find("chmod"), std::string::npos) << error;
    unlink(options.tokenFile.c_str());
    rmdir(folder);
}

TEST_F(WebTest, MetricsAreServedWhenTheStationHasThem) {
    httplib::Client client("127.0.0.1", port);
    EXPECT_EQ(client.Get("/metrics")->status, 404);
    std::string error;
    WebOptions options = Options("127.0.0.1:0", "s3cret-token");
    options.metrics = [] { return std::string("station_up 1\n"); };
    server = StartWebServer(station, station, options, error);
    ASSERT_TRUE(server) << error;
    port = std::stoi(server->Url().substr(server->Url().rfind(':') + 1));
    auto res = httplib::Client("127.0.0.1", port).Get("/metrics");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, "station_up 1\n");
    EXPECT_EQ(res->get_header_value("Content-Type"), "text/plain; version=0.0.4");
    EXPECT_EQ(Status("GET /metrics HTTP/1.1\r\nHost: evil.example:" + std::to_string(port) +
                     "\r\nConnection: close\r\n\r\n"),
              403);
}

TEST_F(WebTest, RefusalsAreLoggedWithoutTheQuery) {
    httplib::Client client("127.0.0.1", port);
    client.set_keep_alive(true);
    testing::internal::CaptureStderr();
    client.Get("/pair?code=feedc0de");
    client.Post("/api/start", Good(), R"({"slot":"Z"})", "application/json");
    // The server logs a request after its answer but before it reads the next one on the same
    // connection: once this is answered, both refusals are written.
    client.Get("/api/state");
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("POST /api/start: 404 no slot 'Z'"), std::string::npos) << log;
    EXPECT_NE(log.find("GET /pair"), std::string::npos) << log;
    EXPECT_EQ(log.find("feedc0de"), std::string::npos) << log;
    EXPECT_EQ(log.find("/api/state"), std::string::npos) << "only refusals: " << log;
}

TEST_F(WebTest, TextFromBoardsIsPassedOnAsData) {
    httplib::Client client("127.0.0.1", port);
    auto state = json::parse(client.Get("/api/state")->body);
    EXPECT_EQ(state["station"], "line <b>1</b>");
    // Bytes that are not UTF-8 are replaced, not fatal; the markup stays literal text.
    EXPECT_EQ(state["slots"][0]["board"], "<script>alert(1)</script>\xef\xbf\xbd");
    EXPECT_EQ(state["slots"][0]["verdict"], "FAIL");
    EXPECT_EQ(state["slots"][1]["phase"], "confirm");
    ASSERT_EQ(state["outboxes"].size(), 1u) << "only targets that are behind: " << state;
    EXPECT_EQ(state["outboxes"][0]["lastError"], "broker <refused>");
    auto yield = json::parse(client.Get("/api/yield?since=5")->body);
    EXPECT_EQ(yield["sinceMs"], 5);
    EXPECT_EQ(yield["failuresByStep"][0]["failures"], 2);

    auto page = client.Get("/");
    ASSERT_EQ(page->status, 200);
    EXPECT_NE(page->get_header_value("Content-Security-Policy").find("default-src 'self'"),
              std::string::npos);
    EXPECT_EQ(page->get_header_value("X-Frame-Options"), "DENY");
    auto script = client.Get("/app.js");
    ASSERT_EQ(script->status, 200);
    EXPECT_EQ(script->body.find("innerHTML"), std::string::npos) << "text goes in as text";
    EXPECT_EQ(client.Get("/style.css")->status, 200);

    auto runs = json::parse(client.Get("/api/runs")->body);
    auto cli = json::parse(FormatHistory("B-1", station.Runs(0), Format::Json));
    EXPECT_EQ(cli["runs"], runs) << "one spelling of a run for the command line and the page";

    auto csv = client.Get("/api/runs.csv?board=B-1");
    ASSERT_EQ(csv->status, 200);
    EXPECT_NE(csv->body.find("B-1"), std::string::npos);
    EXPECT_EQ(csv->get_header_value("Content-Type").rfind("text/csv", 0), 0u);
}

TEST_F(WebTest, ChangesArePushedToEveryOpenPage) {
    std::atomic<int> events{0};
    std::atomic<int64_t> changeMs{0};
    auto listen = [&] {
        httplib::Client client("127.0.0.1", port);
        std::string buffer;
        int mine = 0;
        client.Get("/api/events", [&](const char *data, size_t n) {
            buffer.append(data, n);
            for (size_t end; (end = buffer.find("\n\n")) != std::string::npos;
                 buffer.erase(0, end + 2)) {
                auto data_at = buffer.find("data: ");
                if (data_at == std::string::npos || data_at > end) continue;
                auto state = json::parse(buffer.substr(data_at + 6, end - data_at - 6));
                if (state["changeMs"] > 0) changeMs = state["changeMs"].get<int64_t>();
                ++events;
                if (++mine == 2) return false;
            }
            return true;
        });
    };
    std::thread first(listen), second(listen);
    for (int i = 0; i < 200 && events < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(events, 2) << "each page starts with the whole state";
    station.Change();
    for (int i = 0; i < 200 && events < 4; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    first.join();
    second.join();
    EXPECT_EQ(events, 4);
    EXPECT_GT(changeMs, 0) << "a pushed state names the change it shows";

    // Stopping with a page open ends its stream instead of waiting for it, and the change made
    // just before the stop still reaches the page.
    events = 0;
    std::thread open(listen);
    for (int i = 0; i < 200 && events < 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    station.Change();
    server->Stop();
    open.join();
    EXPECT_EQ(events, 2) << "the last state is sent before the stream ends";
}

TEST(WebAddress, RefusesWhatItCannotServe) {
    FakeStation station;
    std::string error;
    for (const char *address :
         {"8080", ":8080", "127.0.0.1:", "127.0.0.1:80x", "127.0.0.1:70000", "203.0.113.9:8080"}) {
        error.clear();
        EXPECT_FALSE(StartWebServer(station, station, Options(address, ""), error)) << address;
        EXPECT_FALSE(error.empty()) << address;
    }
    auto first = StartWebServer(station, station, Options("127.0.0.1:0", ""), error);
    ASSERT_TRUE(first) << error;
    std::string taken = first->Url().substr(7, first->Url().size() - 8);
    EXPECT_FALSE(StartWebServer(station, station, Options(taken, ""), error))
        << "port shared with " << taken;
    EXPECT_NE(error.find(taken), std::string::npos) << error;
}

}  // namespace
}  // namespace station
