#include "AmqpSender.h"

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <proton/connection.hpp>
#include <proton/connection_options.hpp>
#include <proton/container.hpp>
#include <proton/delivery.hpp>
#include <proton/error_condition.hpp>
#include <proton/message.hpp>
#include <proton/message_id.hpp>
#include <proton/messaging_handler.hpp>
#include <proton/sender.hpp>
#include <proton/tracker.hpp>
#include <proton/transport.hpp>
#include <thread>

namespace station {

namespace {

proton::message Wire(const CfxMessage &cfx) {
    proton::message m;
    m.id(proton::message_id(cfx.id));
    // A data section, not an AMQP value: CFX receivers accept only binary bodies.
    m.body(proton::binary(cfx.json.begin(), cfx.json.end()));
    m.inferred(true);
    m.durable(true);
    m.subject(cfx.Subject());
    if (!cfx.source.empty()) m.reply_to(cfx.source);
    m.content_type("application/json; charset=\"utf-8\"");
    m.creation_time(proton::timestamp(cfx.timeMs));
    m.properties().put("cfx-topic", cfx.Topic());
    m.properties().put("cfx-message", cfx.name);
    if (!cfx.source.empty()) m.properties().put("cfx-handle", cfx.source);
    return m;
}

std::string Tag(const proton::tracker &t) {
    const proton::binary tag = t.tag();
    return std::string(tag.begin(), tag.end());
}

// One connection's life: open, send as credit allows, count the broker's outcomes, close.
class Batch : public proton::messaging_handler {
  public:
    Batch(const AmqpOptions &options, const std::vector<CfxMessage> &messages, std::string password)
        : options_(options),
          messages_(messages),
          password_(std::move(password)),
          outcome_(messages.size(), Pending) {}

    size_t Accepted() const {
        size_t n = 0;
        while (n < outcome_.size() && outcome_[n] == Accept) ++n;
        return n;
    }
    bool Rejected(size_t i) const { return i < outcome_.size() && outcome_[i] == Reject; }
    const std::string &Error() const { return error_; }

    void on_container_start(proton::container &c) override {
        proton::connection_options co;
        co.idle_timeout(proton::duration(30000));
        if (!options_.user.empty()) {
            co.user(options_.user).password(password_).sasl_allowed_mechs("PLAIN");
            co.sasl_allow_insecure_mechs(true);  // PLAIN over plain TCP, as the broker is set up
        }
        password_.assign(password_.size(), '\0');
        std::string url = options_.broker;
        if (url.find("://") == std::string::npos) url = "amqp://" + url;
        c.connect(url, co);
    }

    void on_connection_open(proton::connection &c) override { c.open_sender(options_.address); }

    void on_sendable(proton::sender &s) override {
        while (next_ < messages_.size() && s.credit() > 0) {
            tags_[Tag(s.send(Wire(messages_[next_])))] = next_;
            ++next_;
        }
    }

    void on_tracker_accept(proton::tracker &t) override { Settle(t, Accept); }
    void on_tracker_reject(proton::tracker &t) override {
        Fail("the broker rejected message " + messages_[Index(t)].id);
        Settle(t, Reject);
    }
    void on_tracker_release(proton::tracker &t) override {
        Fail("the broker released message " + messages_[Index(t)].id + " (nowhere to route it)");
        Settle(t, Refuse);
    }

    void on_connection_close(proton::connection &c) override { c.container().stop(); }
    void on_transport_error(proton::transport &t) override {
        Fail(t.error().what());
        t.connection().container().stop();
    }
    void on_connection_error(proton::connection &c) override { Fail(c.error().what()); }
    void on_sender_error(proton::sender &s) override { Fail(s.error().what()); }
    void on_error(const proton::error_condition &e) override { Fail(e.what()); }

  private:
    enum Outcome { Pending, Accept, Refuse, Reject };

    size_t Index(const proton::tracker &t) const {
        const auto it = tags_.find(Tag(t));
        return it == tags_.end() ? 0 : it->second;
    }
    void Settle(proton::tracker &t, Outcome outcome) {
        outcome_[Index(t)] = outcome;
        ++settled_;
        // Later messages are not worth waiting for once one is refused: order must hold.
        if (settled_ == messages_.size() || outcome != Accept) t.connection().close();
    }
    void Fail(const std::string &why) {
        if (error_.empty()) error_ = why;
    }

    const AmqpOptions &options_;
    const std::vector<CfxMessage> &messages_;
    std::string password_;
    std::vector<Outcome> outcome_;
    std::map<std::string, size_t> tags_;  // delivery tag to message index
    size_t next_ = 0, settled_ = 0;
    std::string error_;
};

}  // namespace

bool RunAmqp(proton::messaging_handler &handler, int timeoutMs, std::string &error) {
    // A timer scheduled on the container would keep it running after the connection closed,
    // so the time limit is kept from outside, where stop() is safe to call.
    proton::container container(handler);
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    std::thread runner([&] {
        std::string why;
        try {
            container.run();
        } catch (const std::exception &e) {
            why = std::string("AMQP: ") + e.what();
        }
        std::lock_guard<std::mutex> lock(mutex);
        if (!why.empty()) error = why;
        done = true;
        ended.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex);
    const bool inTime =
        ended.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return done; });
    lock.unlock();
    if (!inTime) container.stop();
    runner.join();
    return inTime;
}

bool ReadPasswordFile(const std::string &path, std::string &password, std::string &error) {
    std::ifstream in(path);
    if (!in || !std::getline(in, password)) {
        error = "cannot read the password file " + path;
        return false;
    }
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return true;
}

AmqpResult AmqpSender::Send(const std::vector<CfxMessage> &batch) const {
    AmqpResult result;
    if (batch.empty()) return result;
    std::string password;
    if (!options_.passwordFile.empty() &&
        !ReadPasswordFile(options_.passwordFile, password, result.error)) {
        return result;
    }
    Batch handler(options_, batch, std::move(password));
    if (!RunAmqp(handler, options_.timeoutMs, result.error)) {
        result.error =
            "no answer from the broker within " + std::to_string(options_.timeoutMs) + " ms";
    }
    result.accepted = handler.Accepted();
    result.rejected = handler.Rejected(result.accepted);
    if (result.accepted < batch.size() && result.error.empty()) {
        result.error =
            handler.Error().empty() ? "the connection closed before every accept" : handler.Error();
    }
    return result;
}

}  // namespace station
