// The operator page: an HTTP server on its own threads over a StationControl.
#pragma once

#include <memory>
#include <string>

#include "StationView.h"

namespace station {

struct WebOptions {
    std::string address = "127.0.0.1:8080";  // host:port; a non-loopback host is the file's choice
    std::string token;  // required by state-changing requests; empty: the server makes one
};

class WebServer {
  public:
    virtual ~WebServer() = default;
    virtual std::string Url() const = 0;    // http://host:port/
    virtual std::string Token() const = 0;  // the token in force, for the terminal to show
    virtual void Stop() = 0;                // idempotent; the destructor stops too
};

// Binds and starts serving; nullptr with `error` when the address cannot be used. Both must
// outlive the server.
std::unique_ptr<WebServer> StartWebServer(StationControl &control, const ResultsQuery &results,
                                          const WebOptions &options,
                                          std::string &error);

}  // namespace station
