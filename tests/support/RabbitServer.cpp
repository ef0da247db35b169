#include "RabbitServer.h"

#include <glob.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <proton/connection.hpp>
#include <proton/connection_options.hpp>
#include <proton/container.hpp>
#include <proton/delivery.hpp>
#include <proton/message.hpp>
#include <proton/message_id.hpp>
#include <proton/messaging_handler.hpp>
#include <proton/receiver_options.hpp>
#include <proton/transport.hpp>
#include <proton/work_queue.hpp>
#include <random>
#include <thread>

#include "AmqpSender.h"
#include "Process.h"

namespace tvk_test {

namespace {

std::string Sbin() {
    glob_t found{};
    std::string dir;
    if (glob("/usr/lib/rabbitmq/lib/rabbitmq_server-*/sbin", 0, nullptr, &found) == 0) {
        dir = found.gl_pathv[found.gl_pathc - 1];
    }
    globfree(&found);
    return dir;
}

class Consumer : public proton::messaging_handler {
  public:
    Consumer(std::string url, std::string user, std::string password, size_t count)
        : url_(std::move(url)),
          user_(std::move(user)),
          password_(std::move(password)),
          count_(count) {}
    std::vector<AmqpReceived> got;

    void on_container_start(proton::container &c) override {
        proton::connection_options co;
        co.user(user_).password(password_).sasl_allowed_mechs("PLAIN");
        co.sasl_allow_insecure_mechs(true);
        c.connect(url_, co);
    }
    void on_connection_open(proton::connection &c) override {
        c.open_receiver("/amq/queue/cfx", proton::receiver_options().credit_window(500));
    }
    void on_message(proton::delivery &d, proton::message &m) override {
        AmqpReceived r;
        r.id = proton::to_string(m.id());
        r.subject = m.subject();
        r.replyTo = m.reply_to();
        r.contentType = m.content_type();
        r.durable = m.durable();
        r.creationMs = m.creation_time().milliseconds();
        r.dataSection = m.inferred() && m.body().type() == proton::BINARY;
        if (m.body().type() == proton::BINARY) {
            const auto body = proton::get<proton::binary>(m.body());
            r.body.assign(body.begin(), body.end());
        }
        for (const char *key : {"cfx-topic", "cfx-message", "cfx-handle", "cfx-target"}) {
            if (m.properties().exists(key)) {
                r.properties[key] = proton::to_string(m.properties().get(key));
            }
        }
        got.push_back(std::move(r));
        if (count_ > 0 && got.size() >= count_) d.connection().close();
    }
    void on_connection_close(proton::connection &c) override { c.container().stop(); }
    // A drain ends by being stopped at its time limit: an aborted connection is no news.
    void on_transport_error(proton::transport &) override {}

  private:
    std::string url_, user_, password_;
    size_t count_;
};

// Its own process group, output to `log`, ended when the test process ends.
std::unique_ptr<support::ChildProcess> Launch(const std::vector<std::string> &argv,
                                              const std::string &log) {
    auto child = std::make_unique<support::ChildProcess>();
    support::ChildOptions options;
    options.logPath = log;
    options.inputPipe = false;
    std::string error;
    if (!child->Start(argv, options, error)) return nullptr;
    return child;
}

}  // namespace

int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), size) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

RabbitServer::RabbitServer() {
    if (folder_.path().empty()) {
        error_ = "no temporary folder";
        return;
    }
    std::filesystem::create_directories(folder_.Path("mnesia"));
    folder_.Write("enabled_plugins", "[rabbitmq_amqp1_0].\n");
    // A temporary folder may be on a nearly full disk: the default alarm would block publishers.
    folder_.Write("rabbitmq.conf", "disk_free_limit.absolute = 1MB\n");
    std::random_device random;
    password_ = "cfx-" + std::to_string(random()) + "-" + std::to_string(random());
    passwordFile_ = folder_.Write("password", password_ + "\n");
    node_ = "cfx" + std::to_string(getpid()) + "@localhost";
    port_ = FreePort();
    distPort_ = FreePort();
    epmdPort_ = FreePort();
    epmd_ = Launch({"/usr/bin/epmd", "-address", "127.0.0.1", "-port", std::to_string(epmdPort_)},
                   folder_.Path("epmd.log"));
    if (!epmd_ || !Start()) {
        if (error_.empty()) error_ = "epmd did not start";
        return;
    }
    bool done = true;
    Ctl({"add_user", user_, password_}, 30000, &done);
    if (done) Ctl({"set_permissions", user_, ".*", ".*", ".*"}, 30000, &done);
    const std::string definitions = folder_.Write(
        "definitions.json",
        R"({"queues":[{"name":"cfx","vhost":"/","durable":true,"auto_delete":false,)"
        R"("arguments":{}}],"bindings":[{"source":"amq.topic","vhost":"/",)"
        R"("destination":"cfx","destination_type":"queue","routing_key":"#","arguments":{}}]})");
    if (done) Ctl({"import_definitions", definitions}, 30000, &done);
    ok_ = done;
    if (!done) error_ = "could not set up the user and queue: see " + folder_.path();
}

RabbitServer::~RabbitServer() {
    Stop();
    if (epmd_) epmd_->Kill();
}

std::string RabbitServer::Broker() const {
    return "127.0.0.1:" + std::to_string(port_);
}

std::vector<std::string> RabbitServer::Environment() const {
    const std::string &folder = folder_.path();
    return {"HOME=" + folder,
            "PATH=/usr/sbin:/usr/bin:/sbin:/bin",
            "LANG=C.UTF-8",
            "RABBITMQ_MNESIA_BASE=" + folder + "/mnesia",
            "RABBITMQ_LOG_BASE=" + folder + "/log",
            "RABBITMQ_ENABLED_PLUGINS_FILE=" + folder + "/enabled_plugins",
            "RABBITMQ_CONFIG_FILE=" + folder + "/rabbitmq.conf",
            "RABBITMQ_NODENAME=" + node_,
            "RABBITMQ_NODE_IP_ADDRESS=127.0.0.1",
            "RABBITMQ_NODE_PORT=" + std::to_string(port_),
            "RABBITMQ_DIST_PORT=" + std::to_string(distPort_),
            "ERL_EPMD_ADDRESS=127.0.0.1",
            "ERL_EPMD_PORT=" + std::to_string(epmdPort_)};
}

std::string RabbitServer::Ctl(const std::vector<std::string> &args, int timeoutMs, bool *ok) const {
    std::vector<std::string> argv = {"/usr/bin/env", "-i"};
    for (const std::string &e : Environment()) argv.push_back(e);
    argv.push_back(Sbin() + "/rabbitmqctl");
    argv.push_back("-n");
    argv.push_back(node_);
    argv.insert(argv.end(), args.begin(), args.end());
    const support::ProcessResult r = support::RunProcess(argv, {}, timeoutMs);
    if (ok != nullptr) *ok = r.exitCode == 0;
    return r.out + r.err;
}

bool RabbitServer::Start() {
    if (server_) return true;
    // The versioned script: the one in /usr/sbin would switch to the rabbitmq user.
    std::vector<std::string> argv = {"/usr/bin/env", "-i"};
    for (const std::string &e : Environment()) argv.push_back(e);
    argv.push_back(Sbin() + "/rabbitmq-server");
    server_ = Launch(argv, folder_.Path("server.log"));
    if (!server_) {
        error_ = "cannot start rabbitmq-server";
        return false;
    }
    // await_startup gives up at once while the node has not registered with epmd yet.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (std::chrono::steady_clock::now() < deadline && server_->Running()) {
        bool up = false;
        Ctl({"await_startup", "--timeout", "60"}, 70000, &up);
        if (up) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    error_ = "RabbitMQ did not start: see " + folder_.Path("server.log");
    server_.reset();
    return false;
}

bool RabbitServer::Stop() {
    if (!server_) return true;
    bool done = false;
    Ctl({"stop"}, 60000, &done);
    const bool ended = server_->Wait(30000) != -2;
    server_.reset();  // kills what is left of its group
    return done && ended;
}

void RabbitServer::Pause(bool frozen) const {
    if (server_ && server_->pid() > 0) kill(-server_->pid(), frozen ? SIGSTOP : SIGCONT);
}

std::vector<AmqpReceived> RabbitServer::Take(size_t count, int timeoutMs) const {
    Consumer consumer("amqp://" + Broker(), user_, password_, count);
    std::string error;
    station::RunAmqp(consumer, timeoutMs, error);
    if (!error.empty()) std::fprintf(stderr, "consumer: %s\n", error.c_str());
    return std::move(consumer.got);
}

}  // namespace tvk_test
