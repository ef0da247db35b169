// The operator page: embedded files, a JSON API over StationControl and a Server-Sent Events
// stream of the slots, served by cpp-httplib on its own thread pool.
#include "Web.h"

#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <thread>

#include "RunReport.h"
#include "StationFile.h"
#include "UniqueFd.h"
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
// A stream writes at least this often, so a page that went away frees its place soon.
constexpr auto kHeartbeat = std::chrono::seconds(3);
constexpr auto kLastStateGrace = std::chrono::seconds(1);
constexpr int64_t kPairingLifeMs = 10 * 60 * 1000;
constexpr size_t kMaxPairingCodes = 8;
constexpr int kSessionDays = 90;
constexpr size_t kMaxRepairText = 500;  // a repair's note, board or operator

std::string Hex(const unsigned char *bytes, size_t size) {
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < size; ++i) {
        hex += kHex[bytes[i] >> 4];
        hex += kHex[bytes[i] & 15];
    }
    return hex;
}

std::string RandomHex() {
    unsigned char bytes[16];
    size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n > 0) got += size_t(n);
    }
    return Hex(bytes, sizeof bytes);
}

// What a browser's cookie holds: made from the token, so it outlives restarts as the token
// does, but a cookie read off a disk or a proxy's log does not give the token away.
std::string SessionValue(const std::string &token) {
    static const char kPurpose[] = "station operator page session";
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    HMAC(EVP_sha256(), token.data(), int(token.size()),
         reinterpret_cast<const unsigned char *>(kPurpose), sizeof kPurpose - 1, mac, &size);
    return Hex(mac, size);
}

// Compares in time that does not depend on where the strings differ.
bool SameSecret(const std::string &given, const std::string &token) {
    if (given.size() != token.size() || token.empty()) return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < token.size(); ++i) diff |= given[i] ^ token[i];
    return diff == 0;
}

// The token kept beside the store: read when it is there, else made once. A file others may
// read is refused rather than trusted.
bool LoadToken(const std::string &path, std::string &token, std::string &error) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.valid() && errno == ENOENT) {
        token = RandomHex();
        const std::string line = token + "\n";
        UniqueFd out(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (out.valid() && write(out.get(), line.data(), line.size()) == ssize_t(line.size()) &&
            fsync(out.get()) == 0 && out.Close() == 0)
            return true;
        error = "web: cannot write the token file " + path + ": " + strerror(errno);
        return false;
    }
    struct stat st {};
    char text[80] = {};
    ssize_t n =
        fd.valid() && fstat(fd.get(), &st) == 0 ? read(fd.get(), text, sizeof text - 1) : -1;
    if (n < 0) {
        error = "web: cannot read the token file " + path + ": " + strerror(errno);
        return false;
    }
    if ((st.st_mode & 077) != 0) {
        error = "web: the token file " + path + " may be read by others (chmod 600 it)";
        return false;
    }
    token.assign(text, size_t(n));
    token.erase(token.find_last_not_of(" \r\n\t") + 1);
    if (token.size() < 16) {
        error = "web: the token file " + path + " holds no token (16 characters or more)";
        return false;
    }
    return true;
}

// "name", "name:port", "[v6]" or "[v6]:port", the name lower-cased; false when it is none of
// them. No port means the scheme's default.
bool ParseHost(const std::string &header, std::string &name, int &port) {
    std::string rest;
    if (!header.empty() && header[0] == '[') {
        auto close = header.find(']');
        if (close == std::string::npos) return false;
        name = header.substr(1, close - 1);
        rest = header.substr(close + 1);
    } else {
        auto colon = header.find(':');
        name = header.substr(0, colon);
        rest = colon == std::string::npos ? "" : header.substr(colon);
    }
    port = 80;
    if (!rest.empty()) {
        const char *begin = rest.data() + 1, *end = rest.data() + rest.size();
        auto [stop, ec] = std::from_chars(begin, end, port);
        if (rest[0] != ':' || begin == end || ec != std::errc() || stop != end) return false;
    }
    for (char &c : name) {
        const bool ok = std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' ||
                        c == ':' || c == '_';
        if (!ok) return false;
        c = char(std::tolower(static_cast<unsigned char>(c)));
    }
    return !name.empty();
}

// Paths and reasons in the log come from the request: control bytes are shown, never sent.
std::string Printable(const std::string &text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c != 0x7f) {
            out += char(c);
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

json SlotJson(const SlotView &s) {
    return {{"name", s.name},
            {"port", s.port},
            {"board", s.board},
            {"variant", s.variant},
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
            {"endedMs", s.endedMs},
            {"note", s.note}};
}

// Only the targets that are behind: the page shows nothing while delivery keeps up.
json OutboxesJson(const std::vector<OutboxStatus> &outboxes) {
    json out = json::array();
    for (const auto &o : outboxes)
        if (o.waiting > 0 || o.setAside > 0 || !o.lastError.empty())
            out.push_back({{"target", o.target},
                           {"waiting", o.waiting},
                           {"setAside", o.setAside},
                           {"oldestMs", o.oldestMs},
                           {"lastError", o.lastError}});
    return out;
}

// Changes fan out to every open stream. Each stream sends the newest state, stamped with the
// time of the oldest change it has not sent yet, so the page can measure the delay. Its mutex
// is the innermost lock: Notify runs under the station's subscription lock.
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
        wake_.notify_all();
    }
    // After Close: until every stream has sent its last state and ended, or `timeout`.
    void WaitEmpty(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, timeout, [&] { return streams_ == 0; });
    }
    int Streams() {
        std::lock_guard lock(mutex_);
        return streams_;
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
    res.set_content(DumpJson({{"error", message}}), "application/json");
}

void Ok(Response &res, const json &value) {
    res.set_content(DumpJson(value), "application/json");
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
                  std::string token, const WebOptions &options)
        : control_(control),
          results_(results),
          host_(std::move(host)),
          token_(std::move(token)),
          session_(SessionValue(token_)),
          hosts_(options.hosts),
          metrics_(options.metrics) {}
    ~HttpWebServer() override { Stop(); }

    bool Start(int port, std::string &error);

    std::string Url() const override {
        bool v6 = host_.find(':') != std::string::npos;
        return "http://" + (v6 ? "[" + host_ + "]" : host_) + ":" + std::to_string(port_) + "/";
    }
    std::string Token() const override { return token_; }
    std::string PairingLink() override;
    void Stop() override {
        std::lock_guard lock(stopMutex_);
        if (subscription_ >= 0) control_.Unsubscribe(subscription_);
        subscription_ = -1;
        feed_.Close();
        // The server's stop cuts open streams at once: give them their last state first.
        feed_.WaitEmpty(kLastStateGrace);
        server_.stop();
        if (thread_.joinable()) thread_.join();
    }

  private:
    using Handler = void (HttpWebServer::*)(const Request &, Response &);
    struct Route {
        const char *method, *path;
        Handler handler;
    };
    static const Route kRoutes[];
    enum class Ask { Start, Answer, Identity };

    void Guards();
    void Routes();
    bool HostAllowed(const Request &req) const;
    bool Authorized(const Request &req) const;
    bool WriteAllowed(const Request &req, Response &res, json &body) const;
    std::string SessionCookie() const;
    void GiveSession(Response &res) const;
    json State(int64_t changeMs) const;
    void SlotRequest(const Request &req, Response &res, Ask ask);

    void GetState(const Request &, Response &res) { Ok(res, State(0)); }
    void GetEvents(const Request &req, Response &res);
    void GetRuns(const Request &req, Response &res);
    void GetHistory(const Request &req, Response &res);
    void GetRepairs(const Request &req, Response &res);
    void GetYield(const Request &req, Response &res);
    void GetCsv(const Request &req, Response &res);
    void GetSession(const Request &req, Response &res) { Ok(res, {{"unlocked", Authorized(req)}}); }
    void GetPair(const Request &req, Response &res);
    void GetMetrics(const Request &req, Response &res);
    void PostToken(const Request &req, Response &res);
    void PostPair(const Request &req, Response &res);
    void PostStart(const Request &req, Response &res) { SlotRequest(req, res, Ask::Start); }
    void PostAnswer(const Request &req, Response &res) { SlotRequest(req, res, Ask::Answer); }
    void PostIdentity(const Request &req, Response &res) { SlotRequest(req, res, Ask::Identity); }
    void PostRepair(const Request &req, Response &res);

    StationControl &control_;
    const ResultsQuery &results_;
    std::string host_;
    std::string token_;
    std::string session_;  // the cookie's value
    std::vector<std::string> hosts_;
    std::function<std::string()> metrics_;
    std::set<std::string> slotNames_;  // fixed for the station's life
    int port_ = 0;
    bool loopback_ = true;
    ChangeFeed feed_;
    httplib::Server server_;
    std::thread thread_;
    std::mutex stopMutex_;
    int subscription_ = -1;
    std::mutex pairingMutex_;                      // held only to look up or change the codes
    std::map<std::string, int64_t> pairingCodes_;  // code -> when it expires
};

const HttpWebServer::Route HttpWebServer::kRoutes[] = {
    {"GET", "/api/state", &HttpWebServer::GetState},
    {"GET", "/api/events", &HttpWebServer::GetEvents},
    {"GET", "/api/runs", &HttpWebServer::GetRuns},
    {"GET", "/api/history", &HttpWebServer::GetHistory},
    {"GET", "/api/repairs", &HttpWebServer::GetRepairs},
    {"GET", "/api/yield", &HttpWebServer::GetYield},
    {"GET", "/api/runs.csv", &HttpWebServer::GetCsv},
    {"GET", "/api/session", &HttpWebServer::GetSession},
    {"GET", "/pair", &HttpWebServer::GetPair},
    {"GET", "/metrics", &HttpWebServer::GetMetrics},
    {"POST", "/api/token", &HttpWebServer::PostToken},
    {"POST", "/api/pair", &HttpWebServer::PostPair},
    {"POST", "/api/start", &HttpWebServer::PostStart},
    {"POST", "/api/answer", &HttpWebServer::PostAnswer},
    {"POST", "/api/identity", &HttpWebServer::PostIdentity},
    {"POST", "/api/repair", &HttpWebServer::PostRepair},
};

bool HttpWebServer::Start(int port, std::string &error) {
    loopback_ = IsLoopbackHost(host_);
    for (const auto &slot : control_.Slots()) slotNames_.insert(slot.name);
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
    Guards();
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

std::string HttpWebServer::PairingLink() {
    const std::string code = RandomHex();
    const int64_t now = NowMs();
    std::lock_guard lock(pairingMutex_);
    std::erase_if(pairingCodes_, [now](const auto &entry) { return entry.second < now; });
    if (pairingCodes_.size() >= kMaxPairingCodes) pairingCodes_.erase(pairingCodes_.begin());
    pairingCodes_[code] = now + kPairingLifeMs;
    return Url() + "pair?code=" + code;
}

// With a loopback address, a page must have reached us by a loopback name: a foreign name
// that resolves to 127.0.0.1 (DNS rebinding) is turned away.
bool HttpWebServer::HostAllowed(const Request &req) const {
    if (!loopback_) return true;
    std::string name;
    int port = 0;
    if (!ParseHost(req.get_header_value("Host"), name, port) || port != port_) return false;
    return IsLoopbackHost(name) || name == host_ ||
           std::any_of(hosts_.begin(), hosts_.end(), [&](const std::string &h) {
               return h.size() == name.size() &&
                      std::equal(h.begin(), h.end(), name.begin(),
                                 [](char a, char b) { return std::tolower(a) == b; });
           });
}

// The port is in the cookie's name: cookies are kept per host, not per port.
std::string HttpWebServer::SessionCookie() const {
    return "station_session_" + std::to_string(port_);
}

// Script cannot read it, and no other site's request carries it.
void HttpWebServer::GiveSession(Response &res) const {
    res.set_header("Set-Cookie", SessionCookie() + "=" + session_ +
                                     "; HttpOnly; SameSite=Strict; Path=/; Max-Age=" +
                                     std::to_string(kSessionDays * 86400));
}

// The token header (tools, and the page while it is typed in) or the session cookie.
bool HttpWebServer::Authorized(const Request &req) const {
    if (req.has_header(kTokenHeader)) return SameSecret(req.get_header_value(kTokenHeader), token_);
    const std::string cookies = req.get_header_value("Cookie"), name = SessionCookie() + "=";
    for (size_t at = 0; at < cookies.size();) {
        size_t end = std::min(cookies.find(';', at), cookies.size());
        size_t begin = cookies.find_first_not_of(' ', at);
        if (begin < end && cookies.compare(begin, name.size(), name) == 0 &&
            SameSecret(cookies.substr(begin + name.size(), end - begin - name.size()), session_))
            return true;
        at = end + 1;
    }
    return false;
}

bool HttpWebServer::WriteAllowed(const Request &req, Response &res, json &body) const {
    // A cookie goes with every request, so a page's write must also say where it comes from;
    // an Origin that is not this server's own page is refused before the token is looked at.
    const bool fromPage = !req.has_header(kTokenHeader);
    if ((fromPage || req.has_header("Origin")) &&
        req.get_header_value("Origin") != "http://" + req.get_header_value("Host")) {
        Fail(res, 403, "cross-origin request refused");
        return false;
    }
    if (!Authorized(req)) {
        if (fromPage)
            Fail(res, 401, "the station's token is needed for this (header X-Station-Token)");
        else
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
            {"outboxes", OutboxesJson(control_.Outboxes())},
            {"slots", std::move(slots)}};
}

void HttpWebServer::GetEvents(const Request &, Response &res) {
    if (!feed_.Enter()) {
        Fail(res, 503, "too many pages are open (" + std::to_string(kMaxStreams) + ")");
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
                out = "retry: 1000\n\nevent: state\ndata: " + DumpJson(State(0)) + "\n\n";
            } else {
                auto wake = feed_.WaitAfter(**seen, kHeartbeat);
                if (wake.closed) {
                    // The last state goes out before the stream ends: a run the stop aborted
                    // must not stay "running" on the page.
                    out = "event: state\ndata: " + DumpJson(State(wake.firstChangeMs)) +
                          "\n\nevent: bye\ndata: {}\n\n";
                    sink.write(out.data(), out.size());
                    sink.done();
                    return true;
                }
                if (wake.generation == **seen) {
                    out = ": idle\n\n";  // finds pages that went away
                } else {
                    *seen = wake.generation;
                    out = "event: state\ndata: " + DumpJson(State(wake.firstChangeMs)) + "\n\n";
                }
            }
            return sink.write(out.data(), out.size());
        },
        [this](bool) { feed_.Leave(); });
}

void HttpWebServer::GetRuns(const Request &req, Response &res) {
    int64_t since;
    if (!MsParam(req, "since", since, res)) return;
    json rows = json::array();
    for (const auto &r : results_.Runs(since)) rows.push_back(RunJson(r));
    Ok(res, rows);
}

void HttpWebServer::GetHistory(const Request &req, Response &res) {
    std::string board = req.get_param_value("board");
    if (board.empty()) return Fail(res, 400, "name a board: /api/history?board=ID");
    json rows = json::array();
    for (const auto &r : results_.History(board)) rows.push_back(RunJson(r));
    Ok(res, rows);
}

void HttpWebServer::GetRepairs(const Request &req, Response &res) {
    std::string board = req.get_param_value("board");
    if (board.empty()) return Fail(res, 400, "name a board: /api/repairs?board=ID");
    json rows = json::array();
    for (const auto &r : results_.Repairs(board)) rows.push_back(RepairJson(r));
    Ok(res, rows);
}

void HttpWebServer::GetYield(const Request &req, Response &res) {
    int64_t since;
    if (!MsParam(req, "since", since, res)) return;
    Ok(res, YieldJson(results_.Yield(since)));
}

void HttpWebServer::GetCsv(const Request &req, Response &res) {
    int64_t since;
    if (!MsParam(req, "since", since, res)) return;
    std::string board = req.get_param_value("board");
    auto runs = board.empty() ? results_.Runs(since) : results_.History(board);
    res.set_header("Content-Disposition", "attachment; filename=\"runs.csv\"");
    res.set_content(FormatHistory(board, runs, Format::Csv), "text/csv; charset=utf-8");
}

// The printed link's code, once and while fresh, for a session cookie; then to the page
// either way, which says whether it is unlocked.
void HttpWebServer::GetPair(const Request &req, Response &res) {
    const std::string code = req.get_param_value("code");
    bool paired = false;
    {
        std::lock_guard lock(pairingMutex_);
        auto found = pairingCodes_.find(code);
        if (found != pairingCodes_.end()) {
            paired = found->second >= NowMs();
            pairingCodes_.erase(found);
        }
    }
    if (paired)
        GiveSession(res);
    else
        fprintf(stderr, "web: refused GET /pair: the link was used before or is too old\n");
    res.set_redirect(paired ? "/" : "/#link-refused", 303);
}

void HttpWebServer::GetMetrics(const Request &req, Response &res) {
    if (!metrics_) return Fail(res, 404, "no such page: " + req.path);
    res.set_content(metrics_(), "text/plain; version=0.0.4");
}

void HttpWebServer::PostToken(const Request &req, Response &res) {
    json body;
    if (!WriteAllowed(req, res, body)) return;
    GiveSession(res);
    Ok(res, {{"ok", true}});
}

// An unlocked page asks for a link for another screen: a code only ever goes to a page that
// already holds a session (or the token), from this server's own origin.
void HttpWebServer::PostPair(const Request &req, Response &res) {
    json body;
    if (!WriteAllowed(req, res, body)) return;
    Ok(res, {{"link", PairingLink()}});
}

void HttpWebServer::SlotRequest(const Request &req, Response &res, Ask ask) {
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
    if (slotNames_.count(name) == 0) return Fail(res, 404, "no slot '" + name + "'");
    bool ok = ask == Ask::Answer     ? control_.Answer(name, yes->get<bool>(), error)
              : ask == Ask::Identity ? control_.EnterIdentity(name, text->get<std::string>(), error)
                                     : control_.StartSlot(name, error);
    if (!ok) return Fail(res, 409, error.empty() ? "the station refused" : error);
    Ok(res, {{"ok", true}});
}

// A string member of the body, spaces trimmed; false unless it is one and within the bound.
bool TextField(const json &body, const char *name, std::string &value) {
    auto found = body.find(name);
    value.clear();
    if (found == body.end()) return true;
    if (!found->is_string()) return false;
    value = found->get<std::string>();
    value.erase(value.find_last_not_of(" \t\r\n") + 1);
    value.erase(0, value.find_first_not_of(" \t\r\n"));
    return value.size() <= kMaxRepairText;
}

void HttpWebServer::PostRepair(const Request &req, Response &res) {
    json body;
    if (!WriteAllowed(req, res, body)) return;
    RepairRow repair;
    if (!TextField(body, "board", repair.board) || !TextField(body, "note", repair.note) ||
        !TextField(body, "operator", repair.operatorName) || repair.board.empty() ||
        repair.note.empty())
        return Fail(res, 400,
                    "give the board and what was repaired, each up to " +
                        std::to_string(kMaxRepairText) +
                        " characters: {\"board\": \"ID\", \"note\": \"replaced U12\"}");
    std::string error;
    if (!control_.RecordRepair(repair, error))
        return Fail(res, 500, "the repair was not recorded: " + error);
    Ok(res, {{"ok", true}});
}

// Host check first, security headers on every answer, a JSON reason on every refusal, and
// every refusal in the station's log.
void HttpWebServer::Guards() {
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
    server_.set_logger([](const Request &req, const Response &res) {
        if (res.status < 400) return;
        auto body = json::parse(res.body, nullptr, false);
        std::string reason = body.is_object() && body.contains("error") && body["error"].is_string()
                                 ? body["error"].get<std::string>()
                                 : "";
        // The query is left out: it may hold a pairing code.
        fprintf(stderr, "web: refused %s %s: %d %s\n", Printable(req.method).c_str(),
                Printable(req.path).c_str(), res.status, Printable(reason).c_str());
    });
}

void HttpWebServer::Routes() {
    for (size_t i = 0; i < web::kAssetCount; ++i) {
        const web::Asset &asset = web::kAssets[i];
        auto serve = [&asset](const Request &, Response &res) {
            res.set_content(asset.body.data(), asset.body.size(), std::string(asset.contentType));
        };
        server_.Get(std::string(asset.path), serve);
        if (asset.path == "/index.html") server_.Get("/", serve);
    }
    for (const Route &route : kRoutes) {
        auto handle = [this, handler = route.handler](const Request &req, Response &res) {
            (this->*handler)(req, res);
        };
        if (std::string_view(route.method) == "GET")
            server_.Get(route.path, handle);
        else
            server_.Post(route.path, handle);
    }
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
    std::string token = options.token;
    if (token.empty() && !options.tokenFile.empty() && !LoadToken(options.tokenFile, token, error))
        return nullptr;
    if (token.empty()) token = RandomHex();
    auto server = std::make_unique<HttpWebServer>(control, results, host, token, options);
    if (!server->Start(port, error)) return nullptr;
    return server;
}

}  // namespace station
