// The station file's [cfx] table: where the station puts its results on the factory's
// message bus. Apart from the sender so the station file needs no AMQP client.
#pragma once

#include <string>

namespace station {

struct AmqpOptions {
    std::string broker;  // "host:port" or "amqp://host:port"
    // The sender link's target; the topic exchange routes on each message's subject.
    std::string address = "/exchange/amq.topic";
    std::string user;          // empty: no SASL user (ANONYMOUS)
    std::string passwordFile;  // read on every connect, so a new password needs no restart
    int timeoutMs = 10000;     // for connecting, sending and the accepts of one batch
};

struct CfxOptions {
    AmqpOptions amqp;    // amqp.broker empty: no [cfx] table, nothing is sent
    std::string handle;  // the station's CFX handle, every envelope's Source
};

}  // namespace station
