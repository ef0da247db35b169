// Sends the local store's outbox to PostgreSQL on its own thread. Each entry is written with
// its idempotent key (the run's uid; the step's run, index and attempt) and only then taken off
// the outbox, so a crash between the two sends it again and the server keeps one copy.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "Store.h"

namespace station {

class PostgresSender {
  public:
    PostgresSender(Store &store, std::string connection);
    ~PostgresSender();  // stops the thread
    PostgresSender(const PostgresSender &) = delete;
    PostgresSender &operator=(const PostgresSender &) = delete;

    void Start();
    void Stop();
    void Wake();  // something was committed
    // Sends what the outbox holds now; false (and `error`) when the server cannot be reached.
    bool SendPending(std::string &error);
    bool Connected() const { return connected_; }
    // Called after each entry reached the server (for the benchmark's delay figure).
    std::function<void(const OutboxItem &)> onSent;

  private:
    void Loop();
    bool Connect(std::string &error);
    bool SendOne(const OutboxItem &item, std::string &error);

    Store &store_;
    std::string connection_;
    struct Connection;
    Connection *pg_ = nullptr;  // used by the sending thread only (or by SendPending's caller)
    std::mutex mutex_;
    std::condition_variable wake_;
    bool woken_ = false, stopping_ = false;
    std::atomic<bool> connected_{false};
    std::thread thread_;
};

}  // namespace station
