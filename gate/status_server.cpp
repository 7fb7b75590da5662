#include "gate/status_server.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>

#include <httplib.h>

#include "gate/listen_refusal.h"
#include "gate/status_assets.h"

namespace kivgate {
namespace {

// GET requests only: a body is never wanted, a long one is refused.
constexpr size_t MAX_BODY = 4096;
// A page or a scraper each ask every second or so; a few threads serve them.
constexpr size_t SERVER_THREADS = 4;

}  // namespace

StatusServer::StatusServer(StatusContent content) : content_(std::move(content))
{
}

StatusServer::~StatusServer()
{
    Stop();
}

bool StatusServer::Start(const std::string& host, int port, std::string* why)
{
    server_ = std::make_unique<httplib::Server>();
    httplib::Server& server = *server_;
    server.new_task_queue = [] { return new httplib::ThreadPool(SERVER_THREADS); };
    server.set_payload_max_length(MAX_BODY);
    server.set_read_timeout(5, 0);
    server.set_write_timeout(5, 0);
    server.set_keep_alive_max_count(100);
    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_header("Cache-Control", "no-cache");
        response.set_content(std::string(StatusPageHtml()), "text/html; charset=utf-8");
    });
    server.Get("/chart.js", [](const httplib::Request&, httplib::Response& response) {
        response.set_header("Cache-Control", "max-age=86400");
        response.set_content(std::string(ChartJs()), "text/javascript; charset=utf-8");
    });
    server.Get("/api/status", [this](const httplib::Request&, httplib::Response& response) {
        response.set_header("Cache-Control", "no-store");
        response.set_content(content_.status(), "application/json");
    });
    server.Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
        response.set_content(content_.metrics(), "text/plain; version=0.0.4; charset=utf-8");
    });
    // Nothing here is written to: every other method is refused.
    using Route = httplib::Server& (httplib::Server::*)(const std::string&, httplib::Server::Handler);
    for (Route route : {static_cast<Route>(&httplib::Server::Post), static_cast<Route>(&httplib::Server::Put),
                        static_cast<Route>(&httplib::Server::Patch), static_cast<Route>(&httplib::Server::Delete)}) {
        (server.*route)(".*", [](const httplib::Request&, httplib::Response& response) {
            response.status = 405;
            response.set_header("Allow", "GET, HEAD");
            response.set_content("read-only: only GET and HEAD are served\n", "text/plain");
        });
    }
    errno = 0;
    if (port == 0)
        port_ = server.bind_to_any_port(host);
    else
        port_ = server.bind_to_port(host, port) ? port : -1;
    if (port_ <= 0) {
        const int error = errno;
        const ListenRefusal refusal = ListenRefused(host, static_cast<uint16_t>(port), error, "--http");
        *why = error != 0 ? refusal.why
                          : "cannot listen on " + host + ":" + std::to_string(port) + ": not an address to listen on";
        refusedBySetUp_ = error != 0 && refusal.setUp;
        server_.reset();
        return false;
    }
    ended_ = false;
    thread_ = std::thread([this, &server] {
        server.listen_after_bind();
        ended_ = true;
    });
    // A stop before the loop runs would not end it: wait until it does.
    while (!server.is_running() && !ended_)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

void StatusServer::Stop()
{
    if (server_)
        server_->stop();
    if (thread_.joinable())
        thread_.join();
    server_.reset();
}

bool IsLoopbackHost(const std::string& host)
{
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1)
        return IN6_IS_ADDR_LOOPBACK(&v6);
    return host == "localhost";
}

}  // namespace kivgate
