// Puts CFX envelopes on an AMQP 1.0 broker (RabbitMQ's AMQP 1.0 plugin, or any other) and
// waits for the broker to accept each: only an accepted message may leave the outbox.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "Cfx.h"
#include "CfxOptions.h"

namespace proton {
class messaging_handler;
}

namespace station {

struct AmqpResult {
    size_t accepted = 0;    // the batch's first `accepted` messages: the broker holds them
    bool rejected = false;  // the broker rejected message `accepted` (a retry would too)
    std::string error;      // why the rest was not sent; never holds the password
};

class AmqpSender {
  public:
    explicit AmqpSender(AmqpOptions options) : options_(std::move(options)) {}

    // Sends `batch` in order on a connection of its own (a station sends a few messages a
    // minute: a held connection would only add a thread and its reconnects) and waits for
    // each outcome, up to the time limit.
    AmqpResult Send(const std::vector<CfxMessage> &batch) const;

    const AmqpOptions &Options() const { return options_; }

  private:
    AmqpOptions options_;
};

// Runs a proton container for `handler` until its connections end, or stops it at the time
// limit (false). `error` gets an exception's text.
bool RunAmqp(proton::messaging_handler &handler, int timeoutMs, std::string &error);

// The password file's first line; false with `error` naming the file (never its content).
bool ReadPasswordFile(const std::string &path, std::string &password, std::string &error);

}  // namespace station
