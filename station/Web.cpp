#include "Web.h"

#include <httplib.h>

#include <cstdlib>
#include <thread>

namespace station {
namespace {

class HttpWebServer : public WebServer {
  public:
    HttpWebServer(std::string url, std::string token) : url_(std::move(url)), token_(token) {}
    ~HttpWebServer() override { Stop(); }

    bool Start(const std::string &host, int port, std::string &error) {
        server_.Get("/", [](const httplib::Request &, httplib::Response &res) {
            res.set_content("<!doctype html><title>Station</title>", "text/html; charset=utf-8");
        });
        if (!server_.bind_to_port(host, port)) {
            error = "cannot listen on " + host + ":" + std::to_string(port);
            return false;
        }
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        return true;
    }

    std::string Url() const override { return url_; }
    std::string Token() const override { return token_; }
    void Stop() override {
        server_.stop();
        if (thread_.joinable()) thread_.join();
    }

  private:
    std::string url_, token_;
    httplib::Server server_;
    std::thread thread_;
};

}  // namespace

std::unique_ptr<WebServer> StartWebServer(StationControl &, const WebOptions &options,
                                          std::string &error) {
    auto colon = options.address.rfind(':');
    if (colon == std::string::npos) {
        error = "web address '" + options.address + "' is not host:port";
        return nullptr;
    }
    std::string host = options.address.substr(0, colon);
    int port = std::atoi(options.address.c_str() + colon + 1);
    auto server = std::make_unique<HttpWebServer>("http://" + options.address + "/", options.token);
    if (!server->Start(host, port, error)) return nullptr;
    return server;
}

}  // namespace station
