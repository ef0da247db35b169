// The operator page: an HTTP server on its own threads over a StationControl.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "StationView.h"

namespace station {

struct WebOptions {
    std::string address = "127.0.0.1:8080";  // host:port; a non-loopback host is the file's choice
    // Required by state-changing requests. Empty: the one kept in `tokenFile`, made there (0600)
    // on first use so that a restart does not lock every open page; no file either: a new one.
    std::string token;
    std::string tokenFile;
    // Names besides the loopback ones that a loopback page may be reached by (Host header).
    std::vector<std::string> hosts;
    // GET /metrics answers this (Prometheus text) when set; read-only, no token.
    std::function<std::string()> metrics;
};

class WebServer {
  public:
    virtual ~WebServer() = default;
    virtual std::string Url() const = 0;    // http://host:port/
    virtual std::string Token() const = 0;  // the token in force; a secret, never printed
    // The page's address with a new pairing code: the first browser to open it within a few
    // minutes gets a session; the code is worthless after that, so browser history keeps nothing.
    virtual std::string PairingLink() = 0;
    virtual void Stop() = 0;  // sends open pages the last state; idempotent; the destructor too
};

// Binds and starts serving; nullptr with `error` when the address cannot be used. Both must
// outlive the server.
std::unique_ptr<WebServer> StartWebServer(StationControl &control, const ResultsQuery &results,
                                          const WebOptions &options, std::string &error);

}  // namespace station
