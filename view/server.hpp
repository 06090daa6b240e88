// The page and its event stream. GET only: the page reads, it never commands anything.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "store.hpp"

namespace jointbus::view {

struct ServerOptions {
    std::string address = "127.0.0.1";
    int port = 8765;
    double window_s = 10.0;  // what the page shows by default
    double max_refresh_hz = 30.0;
};

// One file of the page, embedded at build time (assets.cpp, generated).
struct Asset {
    const char* path;
    const char* content_type;
    const unsigned char* bytes;
    std::size_t size;
};
[[nodiscard]] const std::vector<Asset>& assets();

// Whether a request's Host (and Origin, when it has one) name this server: a loopback name or
// the address it listens on, so that a page of another site cannot read the robot's state
// through a name that resolves here (DNS rebinding).
[[nodiscard]] bool allowed_host(const std::string& host, const std::string& listen_address);
[[nodiscard]] bool allowed_origin(const std::string& origin, const std::string& host);

// Binds, then serves on another thread until stop().
class Server {
public:
    Server(Store& store, ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // False when the address and port cannot be bound.
    [[nodiscard]] bool bind();
    // Serves until stop(); call after bind().
    void run();
    // Ends run(), wherever it is: before it has started to wait for connections too.
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace jointbus::view
