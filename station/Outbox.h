// A delivery target's sending thread. Each commit wakes it; it sends the target's outbox entries
// in batches, in commit order, and takes them off the outbox only once the target holds them,
// so a crash in between sends them again (targets keep one copy by the entries' keys). An entry
// the target refuses for good is set aside and the queue goes on; any other fault leaves the
// queue as it is and is tried again a second later.
//
// A target derives from OutboxSender: Connect (keep a connection, make it again when lost) and
// Send (one batch); every wait on the target goes through WaitFd, so a stop is never held up by
// a target that does not answer. The derived destructor calls Stop first.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Store.h"

namespace station {

class OutboxSender {
  public:
    using Clock = std::chrono::steady_clock;

    OutboxSender(Store &store, std::string target);
    virtual ~OutboxSender();
    OutboxSender(const OutboxSender &) = delete;
    OutboxSender &operator=(const OutboxSender &) = delete;

    void Start();
    void Wake();  // something was committed
    // Gives the thread up to `grace` to send what waits, then ends it; what is left waits in
    // the store for the next start. True when nothing waits.
    bool Stop(std::chrono::milliseconds grace = std::chrono::milliseconds(0));
    // Sends what the outbox holds now on the caller's thread (not while the thread runs); false
    // with `error` when the target cannot take it now.
    bool SendPending(std::string &error);
    // Waiting and set-aside entries, since when, and the target's last error.
    OutboxStatus Status() const;
    const std::string &Target() const { return target_; }
    // Called after each entry reached the target (for the benchmark's figures).
    std::function<void(const OutboxItem &)> onSent;

  protected:
    struct Batch {
        size_t accepted = 0;   // the first `accepted` entries: the target holds them
        bool refused = false;  // entry `accepted` was refused for good (`error` says why)
        std::string error;     // why the rest was not sent
    };
    virtual bool Connect(std::string &error) = 0;
    virtual Batch Send(const std::vector<OutboxItem> &items) = 0;
    // Until `fd` is ready for poll's `events`; false at `until` or once a stop's grace is over.
    bool WaitFd(int fd, short events, Clock::time_point until) const;

    Store &store_;

  private:
    void Loop();
    void Halt(std::chrono::milliseconds grace);
    void SetError(const std::string &error, bool refusal);
    bool StopDue() const;

    const std::string target_;
    // Lock order: a leaf; nothing is called while it is held.
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool woken_ = false, stopping_ = false;
    Clock::time_point stopBy_ = Clock::time_point::max();
    std::string lastError_;
    bool lastWasRefusal_ = false;
    std::thread thread_;
};

}  // namespace station
