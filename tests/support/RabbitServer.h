// A real RabbitMQ broker (Debian's 3.10, with its AMQP 1.0 plugin) for a test: its own
// temporary folder, its own epmd and ports on 127.0.0.1, started as root without the
// package's service. A durable queue "cfx" is bound to amq.topic with "#", so it keeps every
// message the station publishes, also while the test's consumer is away.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Process.h"
#include "TempDir.h"

namespace tvk_test {

// A loopback TCP port nobody listens on now (the kernel's pick), for a server a test starts.
int FreePort();

// One message as the consumer took it off the queue.
struct AmqpReceived {
    std::string id, subject, replyTo, contentType;
    bool durable = false;
    bool dataSection = false;  // the body was a binary data section, not an AMQP value
    int64_t creationMs = 0;
    std::map<std::string, std::string> properties;  // application properties
    std::string body;
};

class RabbitServer {
  public:
    RabbitServer();   // starts it (about 10 s); ok() tells whether it came up
    ~RabbitServer();  // stops it and its epmd, removes the folder
    RabbitServer(const RabbitServer &) = delete;
    RabbitServer &operator=(const RabbitServer &) = delete;

    bool ok() const { return ok_; }
    const std::string &error() const { return error_; }
    std::string Broker() const;  // "127.0.0.1:PORT"
    const std::string &User() const { return user_; }
    const std::string &Password() const { return password_; }
    const std::string &PasswordFile() const { return passwordFile_; }
    const std::string &Folder() const { return folder_.path(); }

    bool Stop();   // rabbitmqctl stop; the queue's messages stay on disk
    bool Start();  // the same node again
    // Freezes the broker (its process group stopped) or lets it go on: its connections stay
    // open and nothing is answered meanwhile.
    void Pause(bool frozen) const;

    // Takes messages off the queue until `count` arrived or `timeoutMs` passed.
    std::vector<AmqpReceived> Take(size_t count, int timeoutMs) const;

  private:
    std::string Ctl(const std::vector<std::string> &args, int timeoutMs, bool *ok) const;
    std::vector<std::string> Environment() const;

    support::TempDir folder_{"tvk-rabbit"};
    std::string node_, user_ = "station", password_, passwordFile_;
    int port_ = 0, distPort_ = 0, epmdPort_ = 0;
    std::unique_ptr<support::ChildProcess> epmd_, server_;
    bool ok_ = false;
    std::string error_;
};

}  // namespace tvk_test
