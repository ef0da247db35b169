// Delivers the store's "cfx" outbox entries to the factory's message bus: a run's begin as
// WorkStarted, its end as UnitsTested and WorkCompleted, the station's own state changes as the
// envelopes stored for them. An entry leaves the outbox only once the broker accepted all of its
// messages; a resend rebuilds them with the same ids.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "AmqpSender.h"
#include "CfxOptions.h"
#include "Outbox.h"

namespace station {

class CfxSender : public OutboxSender {
  public:
    CfxSender(Store &store, CfxOptions options);
    ~CfxSender() override;

    // Stored as an outbox entry first, so the bus hears of it exactly once, even after a crash.
    bool StationUp(int64_t nowMs, std::string &error);
    bool StationDown(int64_t nowMs, std::string &error);

    // The messages an entry stands for; false when it stands for none (its run is gone, its
    // payload is no envelope): a resend could not mend that.
    bool Messages(const OutboxItem &item, std::vector<CfxMessage> &out, std::string &error) const;

  protected:
    bool Connect(std::string &error) override;
    Batch Send(const std::vector<OutboxItem> &items) override;

  private:
    const CfxOptions options_;
    const AmqpSender amqp_;
    int64_t upMs_ = 0;
};

}  // namespace station
