// The operator page: embedded files, a JSON API over StationControl and a Server-Sent Events
// stream of the slots, served by cpp-httplib on its own thread pool.
#include "Web.h"

#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/random.h>
#include <sys/socket.h>

#include <charconv>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

#include "RunReport.h"
#include "web/Assets.h"

namespace station {
namespace {

using json = nlohmann::json;
using httplib::Request;
using httplib::Response;

constexpr const char *kTokenHeader = "X-Station-Token";
constexpr size_t kMaxBody = 64 * 1024;
constexpr size_t kThreads = 24;
// Event streams each hold a pool thread; the rest stay free for requests.
constexpr int kMaxStreams = 16;
constexpr auto kKeepAlive = std::chrono::seconds(15);

// Board names and readings come from boards and files: bytes that are not UTF-8 are replaced
// rather than allowed to throw.
std::string Dump(const json &value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

json SlotJson(const SlotView &s) {
    return {{"name", s.name},
            {"port", s.port},
            {"board", s.board},
            {"phase", SlotPhaseName(s.phase)},
            {"step", s.step},
            {"steps", s.steps},
            {"stepName", s.stepName},
            {"attempt", s.attempt},
            {"prompt", s.prompt},
            {"promptDeadlineMs", s.promptDeadlineMs},
            {"confirm", s.confirm},
            {"verdict", VerdictName(s.verdict)},
            {"failedStep", s.failedStep},
            {"failedReading", s.failedReading},
            {"runId", s.runId},
            {"startedMs", s.startedMs},
            {"endedMs", s.endedMs}};
}

json RunJson(const RunRow &r) {
    return {{"id", r.id},
            {"board", r.board},
            {"station", r.station},
            {"slot", r.slot},
            {"plan", r.plan},
            {"planHash", r.planHash},
            {"operator", r.operatorName},
            {"startedMs", r.startedMs},
            {"endedMs", r.endedMs},
            {"verdict", VerdictName(r.verdict)},
            {"failedStep", r.failedStep},
            {"failedReading", r.failedReading}};
}

json StatsJson(const std::vector<StepStat> &stats) {
    json out = json::array();
    for (const auto &s : stats)
        out.push_back({{"step", s.step},
                       {"failures", s.failures},
                       {"medianSeconds", s.medianSeconds},
                       {"maxSeconds", s.maxSeconds}});
    return out;
}

json YieldJson(const YieldReport &y) {
    return {{"sinceMs", y.sinceMs},
            {"runs", y.runs},
            {"boards", y.boards},
            {"firstPassBoards", y.firstPassBoards},
            {"finalPassBoards", y.finalPassBoards},
            {"firstPassYield", y.firstPassYield},
            {"finalYield", y.finalYield},
            {"failuresByStep", StatsJson(y.failuresByStep)},
            {"slowestSteps", StatsJson(y.slowestSteps)}};
}

std::string RandomToken() {
    unsigned char bytes[16];
    size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n > 0) got += size_t(n);
    }
    std::string token;
    for (unsigned char b : bytes) {
        static const char kHex[] = "0123456789abcdef";
        token += kHex[b >> 4];
        token += kHex[b & 15];
    }
    return token;
}

// Compares in time that does not depend on where the strings differ.
bool SameSecret(const std::string &given, const std::string &token) {
    if (given.size() != token.size() || token.empty()) return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < token.size(); ++i) diff |= given[i] ^ token[i];
    return diff == 0;
}

bool IsLoopbackHost(const std::string &host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

// Changes fan out to every open stream. Each stream sends the newest state, stamped with the
// time of the oldest change it has not sent yet, so the page can measure the delay.
class ChangeFeed {
  public:
    struct Wake {
        uint64_t generation = 0;
        int64_t firstChangeMs = 0;
        bool closed = false;
    };

    void Notify() {
        std::lock_guard lock(mutex_);
        changes_.push_back({++generation_, NowMs()});
        if (changes_.size() > 256) changes_.pop_front();
        wake_.notify_all();
    }

    uint64_t Generation() {
        std::lock_guard lock(mutex_);
        return generation_;
    }

    Wake WaitAfter(uint64_t seen, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, timeout, [&] { return closed_ || generation_ != seen; });
        Wake w{generation_, 0, closed_};
        for (const auto &[generation, ms] : changes_)
            if (generation > seen) {
                w.firstChangeMs = ms;
                break;
            }
        return w;
    }

    bool Enter() {
        std::lock_guard lock(mutex_);
        if (closed_ || streams_ >= kMaxStreams) return false;
        ++streams_;
        return true;
    }
    void Leave() {
        std::lock_guard lock(mutex_);
        --streams_;
    }
    void Close() {
        std::lock_guard lock(mutex_);
        closed_ = true;
        wake_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable wake_;
    uint64_t generation_ = 0;
    std::deque<std::pair<uint64_t, int64_t>> changes_;
    int streams_ = 0;
    bool closed_ = false;
};

void Fail(Response &res, int status, const std::string &message) {
    res.status = status;
    res.set_content(Dump({{"error", message}}), "application/json");
}

// A query parameter holding milliseconds since the epoch; absent means 0.
bool MsParam(const Request &req, const char *name, int64_t &value, Response &res) {
    value = 0;
    if (!req.has_param(name)) return true;
    std::string text = req.get_param_value(name);
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < 0) {
        Fail(res, 400,
             std::string("'") + name + "' must be milliseconds since 1970, not '" + text + "'");
        return false;
    }
    return true;
}

class HttpWebServer : public WebServer {
  public:
    HttpWebServer(StationControl &control, const ResultsQuery &results, std::string host,
                  std::string token)
        : control_(control), results_(results), host_(std::move(host)), token_(std::move(token)) {}
    ~HttpWebServer() override { Stop(); }

    bool Start(int port, std::string &error);

    std::string Url() const override {
        bool v6 = host_.find(':') != std::string::npos;
        return "http://" + (v6 ? "[" + host_ + "]" : host_) + ":" + std::to_string(port_) + "/";
    }
    std::string Token() const override { return token_; }
    void Stop() override {
        std::lock_guard lock(stopMutex_);
        if (subscription_ >= 0) control_.Unsubscribe(subscription_);
        subscription_ = -1;
        feed_.Close();
        server_.stop();
        if (thread_.joinable()) thread_.join();
    }

  private:
    void Routes();
    bool HostAllowed(const Request &req) const;
    bool WriteAllowed(const Request &req, Response &res, json &body) const;
    json State(int64_t changeMs) const;
    void Events(Response &res);

    StationControl &control_;
    const ResultsQuery &results_;
    std::string host_;
    std::string token_;
    int port_ = 0;
    bool loopback_ = true;
    ChangeFeed feed_;
    httplib::Server server_;
    std::thread thread_;
    std::mutex stopMutex_;
    int subscription_ = -1;
};

bool HttpWebServer::Start(int port, std::string &error) {
    loopback_ = IsLoopbackHost(host_);
    server_.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
    // Not the library's default: SO_REUSEPORT would let a second station share the port.
    server_.set_socket_options([](int sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    });
    server_.set_tcp_nodelay(true);
    server_.set_payload_max_length(kMaxBody);
    // Idle keep-alive connections are polled by the library; let them go soon.
    server_.set_keep_alive_timeout(2);
    server_.set_read_timeout(5);
    server_.set_write_timeout(5);
    Routes();

    port_ = port == 0 ? server_.bind_to_any_port(host_) : port;
    if (port_ <= 0 || (port != 0 && !server_.bind_to_port(host_, port))) {
        error = "web: cannot listen on " + host_ + ":" + std::to_string(port) +
                " (in use, or not an address of this machine)";
        return false;
    }
    subscription_ = control_.Subscribe([this] { feed_.Notify(); });
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // stop() is a no-op until the listener runs; wait so Stop() can never miss it.
    for (int i = 0; i < 500 && !server_.is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (!server_.is_running()) {
        error = "web: the server did not start";
        Stop();
        return false;
    }
    return true;
}

// With a loopback address, a page must have reached us by a loopback name: a foreign name
// that resolves to 127.0.0.1 (DNS rebinding) is turned away.
bool HttpWebServer::HostAllowed(const Request &req) const {
    if (!loopback_) return true;
    std::string host = req.get_header_value("Host");
    std::string port = std::to_string(port_);
    std::string name;
    if (!host.empty() && host[0] == '[') {
        auto close = host.find(']');
        if (close == std::string::npos) return false;
        std::string rest = host.substr(close + 1);
        if (rest != ":" + port && !(rest.empty() && port_ == 80)) return false;
        name = host.substr(1, close - 1);
    } else {
        // Browsers leave out the default port.
        auto colon = host.rfind(':');
        if (colon == std::string::npos ? port_ != 80 : host.substr(colon + 1) != port) return false;
        name = host.substr(0, colon);
    }
    return IsLoopbackHost(name) || name == host_;
}

bool HttpWebServer::WriteAllowed(const Request &req, Response &res, json &body) const {
    // Browsers send Origin with every POST; one that is not this server's own page is refused
    // even before the token is looked at.
    if (req.has_header("Origin") &&
        req.get_header_value("Origin") != "http://" + req.get_header_value("Host")) {
        Fail(res, 403, "cross-origin request refused");
        return false;
    }
    if (!req.has_header(kTokenHeader)) {
        Fail(res, 401, "the station's token is needed for this (header X-Station-Token)");
        return false;
    }
    if (!SameSecret(req.get_header_value(kTokenHeader), token_)) {
        Fail(res, 403, "wrong token");
        return false;
    }
    if (req.get_header_value("Content-Type").rfind("application/json", 0) != 0) {
        Fail(res, 415, "send JSON (Content-Type: application/json)");
        return false;
    }
    body = json::parse(req.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
        Fail(res, 400, "the body is not a JSON object");
        return false;
    }
    return true;
}

json HttpWebServer::State(int64_t changeMs) const {
    json slots = json::array();
    for (const auto &slot : control_.Slots()) slots.push_back(SlotJson(slot));
    return {{"station", control_.StationName()},
            {"plan", control_.PlanName()},
            {"serverMs", NowMs()},
            {"changeMs", changeMs},
            {"slots", std::move(slots)}};
}

void HttpWebServer::Events(Response &res) {
    if (!feed_.Enter()) {
        Fail(res, 503, "too many pages are open");
        return;
    }
    res.set_header("Cache-Control", "no-store");
    auto seen = std::make_shared<std::optional<uint64_t>>();
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, seen](size_t, httplib::DataSink &sink) {
            std::string out;
            if (!*seen) {
                // Quick reconnects after a station restart; the first event is the whole state.
                *seen = feed_.Generation();
                out = "retry: 1000\n\nevent: state\ndata: " + Dump(State(0)) + "\n\n";
            } else {
                auto wake = feed_.WaitAfter(**seen, kKeepAlive);
                if (wake.closed) {
                    sink.done();
                    return true;
                }
                if (wake.generation == **seen) {
                    out = ": idle\n\n";  // finds pages that went away
                } else {
                    *seen = wake.generation;
                    out = "event: state\ndata: " + Dump(State(wake.firstChangeMs)) + "\n\n";
                }
            }
            return sink.write(out.data(), out.size());
        },
        [this](bool) { feed_.Leave(); });
}

void HttpWebServer::Routes() {
    server_.set_pre_routing_handler([this](const Request &req, Response &res) {
        if (HostAllowed(req)) return httplib::Server::HandlerResponse::Unhandled;
        Fail(res, 403, "this station answers only to a loopback address (Host header)");
        return httplib::Server::HandlerResponse::Handled;
    });
    server_.set_post_routing_handler([](const Request &, Response &res) {
        res.set_header("Content-Security-Policy",
                       "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'; "
                       "base-uri 'none'; form-action 'none'");
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("X-Frame-Options", "DENY");
        res.set_header("Referrer-Policy", "no-referrer");
        if (!res.has_header("Cache-Control")) res.set_header("Cache-Control", "no-store");
    });
    server_.set_error_handler([](const Request &req, Response &res) {
        if (res.body.empty())
            Fail(res, res.status,
                 res.status == 404 ? "no such page: " + req.path
                                   : "request refused (" + std::to_string(res.status) + ")");
    });
    server_.set_exception_handler([](const Request &, Response &res, std::exception_ptr ep) {
        std::string what = "unknown error";
        try {
            std::rethrow_exception(ep);
        } catch (const std::exception &e) {
            what = e.what();
        } catch (...) {
        }
        Fail(res, 500, "the station could not answer: " + what);
    });

    for (size_t i = 0; i < web::kAssetCount; ++i) {
        const web::Asset &asset = web::kAssets[i];
        auto serve = [&asset](const Request &, Response &res) {
            res.set_content(asset.body.data(), asset.body.size(), std::string(asset.contentType));
        };
        server_.Get(std::string(asset.path), serve);
        if (asset.path == "/index.html") server_.Get("/", serve);
    }

    server_.Get("/api/state", [this](const Request &, Response &res) {
        res.set_content(Dump(State(0)), "application/json");
    });
    server_.Get("/api/events", [this](const Request &, Response &res) { Events(res); });

    server_.Get("/api/runs", [this](const Request &req, Response &res) {
        int64_t since;
        if (!MsParam(req, "since", since, res)) return;
        json rows = json::array();
        for (const auto &r : results_.Runs(since)) rows.push_back(RunJson(r));
        res.set_content(Dump(rows), "application/json");
    });
    server_.Get("/api/history", [this](const Request &req, Response &res) {
        std::string board = req.get_param_value("board");
        if (board.empty()) return Fail(res, 400, "name a board: /api/history?board=ID");
        json rows = json::array();
        for (const auto &r : results_.History(board)) rows.push_back(RunJson(r));
        res.set_content(Dump(rows), "application/json");
    });
    server_.Get("/api/yield", [this](const Request &req, Response &res) {
        int64_t since;
        if (!MsParam(req, "since", since, res)) return;
        res.set_content(Dump(YieldJson(results_.Yield(since))), "application/json");
    });
    server_.Get("/api/runs.csv", [this](const Request &req, Response &res) {
        int64_t since;
        if (!MsParam(req, "since", since, res)) return;
        std::string board = req.get_param_value("board");
        auto runs = board.empty() ? results_.Runs(since) : results_.History(board);
        res.set_header("Content-Disposition", "attachment; filename=\"runs.csv\"");
        res.set_content(FormatHistory(board, runs, Format::Csv), "text/csv; charset=utf-8");
    });

    server_.Post("/api/token", [this](const Request &req, Response &res) {
        json body;
        if (WriteAllowed(req, res, body)) res.set_content(Dump({{"ok", true}}), "application/json");
    });
    enum class Ask { Start, Answer, Identity };
    auto slotRequest = [this](const Request &req, Response &res, Ask ask) {
        json body;
        if (!WriteAllowed(req, res, body)) return;
        auto slot = body.find("slot");
        if (slot == body.end() || !slot->is_string() || slot->get<std::string>().empty())
            return Fail(res, 400, "name the slot: {\"slot\": \"A\"}");
        auto yes = body.find("yes");
        if (ask == Ask::Answer && (yes == body.end() || !yes->is_boolean()))
            return Fail(res, 400, "answer with {\"slot\": ..., \"yes\": true or false}");
        auto text = body.find("text");
        if (ask == Ask::Identity && (text == body.end() || !text->is_string()))
            return Fail(res, 400, "give the serial number: {\"slot\": ..., \"text\": \"SN123\"}");
        std::string name = slot->get<std::string>(), error;
        bool known = false;
        for (const auto &view : control_.Slots()) known = known || view.name == name;
        if (!known) return Fail(res, 404, "no slot '" + name + "'");
        bool ok = ask == Ask::Answer ? control_.Answer(name, yes->get<bool>(), error)
                  : ask == Ask::Identity
                      ? control_.EnterIdentity(name, text->get<std::string>(), error)
                      : control_.StartSlot(name, error);
        if (!ok) return Fail(res, 409, error.empty() ? "the station refused" : error);
        res.set_content(Dump({{"ok", true}}), "application/json");
    };
    server_.Post("/api/start", [slotRequest](const Request &req, Response &res) {
        slotRequest(req, res, Ask::Start);
    });
    server_.Post("/api/answer", [slotRequest](const Request &req, Response &res) {
        slotRequest(req, res, Ask::Answer);
    });
    server_.Post("/api/identity", [slotRequest](const Request &req, Response &res) {
        slotRequest(req, res, Ask::Identity);
    });
}

}  // namespace

std::unique_ptr<WebServer> StartWebServer(StationControl &control, const ResultsQuery &results,
                                          const WebOptions &options, std::string &error) {
    // "host:port" or "[v6]:port"; an empty host would mean every interface, which the station
    // file must ask for by name (0.0.0.0).
    const std::string &address = options.address;
    auto colon = address.rfind(':');
    std::string host = colon == std::string::npos ? "" : address.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    int port = -1;
    if (colon != std::string::npos) {
        const char *begin = address.data() + colon + 1, *end = address.data() + address.size();
        auto [stop, ec] = std::from_chars(begin, end, port);
        if (ec != std::errc() || stop != end || begin == end) port = -1;
    }
    if (host.empty() || port < 0 || port > 65535) {
        error = "web address '" + address + "' is not host:port (e.g. 127.0.0.1:8080)";
        return nullptr;
    }
    auto server = std::make_unique<HttpWebServer>(
        control, results, host, options.token.empty() ? RandomToken() : options.token);
    if (!server->Start(port, error)) return nullptr;
    return server;
}

}  // namespace station
