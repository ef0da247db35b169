#include "Outbox.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace station {

namespace {
constexpr int kBatchSize = 200;
constexpr auto kRetryAfter = std::chrono::seconds(1);
}  // namespace

OutboxSender::OutboxSender(Store &store, std::string target)
    : store_(store), target_(std::move(target)) {}

OutboxSender::~OutboxSender() {
    Halt(std::chrono::milliseconds(0));
}

void OutboxSender::Start() {
    if (!thread_.joinable()) thread_ = std::thread([this] { Loop(); });
}

void OutboxSender::Wake() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        woken_ = true;
    }
    wake_.notify_all();
}

void OutboxSender::Halt(std::chrono::milliseconds grace) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stopping_) stopBy_ = Clock::now() + grace;
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool OutboxSender::Stop(std::chrono::milliseconds grace) {
    Halt(grace);
    return store_.OutboxState(target_).waiting == 0;
}

bool OutboxSender::StopDue() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopping_ && Clock::now() >= stopBy_;
}

bool OutboxSender::WaitFd(int fd, short events, Clock::time_point until) const {
    for (;;) {
        Clock::time_point by = until;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) by = std::min(by, stopBy_);
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(by - Clock::now());
        if (left.count() <= 0) return false;
        // Short polls: a stop asked meanwhile is seen within a tenth of a second.
        pollfd watch{fd, events, 0};
        const int n = poll(&watch, 1, static_cast<int>(std::min<int64_t>(left.count(), 100)));
        if (n < 0 && errno != EINTR) return false;
        if (n > 0) return true;
    }
}

void OutboxSender::SetError(const std::string &error, bool refusal) {
    std::lock_guard<std::mutex> lock(mutex_);
    // A refusal stays shown until another error: the queue went on past it.
    if (error.empty() && lastWasRefusal_) return;
    lastError_ = error;
    lastWasRefusal_ = refusal;
}

OutboxStatus OutboxSender::Status() const {
    OutboxStatus status = store_.OutboxState(target_);
    std::lock_guard<std::mutex> lock(mutex_);
    status.lastError = lastError_;
    return status;
}

bool OutboxSender::SendPending(std::string &error) {
    for (;;) {
        if (StopDue()) {
            error = "stopped before " + target_ + " took every entry";
            return false;
        }
        const std::vector<OutboxItem> items = store_.Outbox(target_, kBatchSize);
        if (items.empty()) {
            SetError("", false);
            return true;
        }
        if (!Connect(error)) {
            SetError(error, false);
            return false;
        }
        const Batch batch = Send(items);
        std::vector<int64_t> done;
        for (size_t i = 0; i < batch.accepted && i < items.size(); ++i)
            done.push_back(items[i].seq);
        std::string storeError;
        if (!store_.OutboxDone(done, storeError)) {
            error = "results store: " + storeError;
            SetError(error, false);
            return false;
        }
        if (onSent) {
            for (size_t i = 0; i < done.size(); ++i) onSent(items[i]);
        }
        if (batch.refused && batch.accepted < items.size()) {
            const OutboxItem &bad = items[batch.accepted];
            std::fprintf(stderr, "station: %s refused outbox entry %lld (%s %lld), set aside: %s\n",
                         target_.c_str(), static_cast<long long>(bad.seq), bad.kind.c_str(),
                         static_cast<long long>(bad.ref), batch.error.c_str());
            if (!store_.SetAside(bad.seq, batch.error, storeError)) {
                error = "results store: " + storeError;
                SetError(error, false);
                return false;
            }
            SetError("refused for good: " + batch.error, true);
            continue;
        }
        if (done.size() < items.size()) {
            error = batch.error;
            SetError(error, false);
            return false;
        }
        SetError("", false);
    }
}

void OutboxSender::Loop() {
    for (;;) {
        std::string error;
        const bool sent = SendPending(error);
        std::unique_lock<std::mutex> lock(mutex_);
        if (stopping_) return;
        // Commits wake it at once; a target that failed is tried again a second later.
        if (sent) {
            wake_.wait(lock, [this] { return woken_ || stopping_; });
        } else {
            wake_.wait_for(lock, kRetryAfter, [this] { return stopping_; });
        }
        woken_ = false;
        if (stopping_) {
            // A stop drains what waits, within its grace, before the thread ends.
            lock.unlock();
            SendPending(error);
            return;
        }
    }
}

}  // namespace station
