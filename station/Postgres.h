// Sends the local store's outbox to PostgreSQL. Each entry is written with its idempotent key
// (the run's uid; the step's run, index and attempt) and only then taken off the outbox, so a
// crash between the two sends it again and the server keeps one copy.
#pragma once

#include <memory>
#include <string>

#include "Outbox.h"

namespace station {

class PgLink;

class PostgresSender : public OutboxSender {
  public:
    PostgresSender(Store &store, std::string connection);
    ~PostgresSender() override;

  protected:
    bool Connect(std::string &error) override;
    Batch Send(const std::vector<OutboxItem> &items) override;

  private:
    bool SendOne(const OutboxItem &item, std::string &error, bool &refused);

    std::string connection_;
    std::unique_ptr<PgLink> link_;  // used by the sending thread only (or SendPending's caller)
};

// For `station check`: connects as the station would; false with the server's reason.
bool CheckPostgres(const std::string &connection, std::string &reason);

}  // namespace station
