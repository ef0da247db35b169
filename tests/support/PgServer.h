// A real PostgreSQL server for a test: initdb and pg_ctl in a temporary folder, run as the
// `postgres` user, listening on a Unix socket in that folder only.
#pragma once

#include <string>

#include "TempDir.h"

namespace tvk_test {

class PgServer {
  public:
    PgServer();   // initdb + start; ok() tells whether it came up
    ~PgServer();  // stops it and removes the folder
    PgServer(const PgServer &) = delete;
    PgServer &operator=(const PgServer &) = delete;

    bool ok() const { return ok_; }
    const std::string &error() const { return error_; }
    std::string Connection() const;  // a libpq connection string
    bool Stop();
    bool Start();
    // Sends `signal` to the server and its backends (SIGSTOP: a server that hangs).
    bool Signal(int signal) const;
    // Runs one SQL statement through psql; its output without alignment, rows on lines.
    std::string Query(const std::string &sql) const;

  private:
    support::TempDir dir_{"tvk-pg"};
    std::string folder_, bin_;  // folder_: dir_ once the server may use it
    bool ok_ = false;
    std::string error_;
};

}  // namespace tvk_test
