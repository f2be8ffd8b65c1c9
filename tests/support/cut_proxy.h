#pragma once
// A loopback proxy in front of a real server that cuts the first connection
// after the server has sent a given number of bytes through it; every later
// connection passes whole. With it a test breaks a real session at any point
// of the dialogue and then lets the next session run to its end.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "support/test_socket.h"

namespace kdv::testing {

class TCutProxy {
public:
    // Forwards 127.0.0.1:Port() to `host`:`port`; the first connection is
    // closed on both sides once `cut_after` bytes came from the server.
    TCutProxy(std::string host, std::uint16_t port, std::size_t cut_after);
    ~TCutProxy();
    TCutProxy(const TCutProxy&) = delete;
    TCutProxy& operator=(const TCutProxy&) = delete;

    std::uint16_t Port() const { return port_; }
    // Whether the first connection was cut (it may have ended before).
    bool Cut() const { return cut_; }

private:
    void Serve();
    void Pipe(TTestSocket client, std::size_t limit);

    std::string host_;
    std::uint16_t upstream_port_;
    std::size_t cut_after_;
    TTestSocket listener_ = kNoTestSocket;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> cut_{false};
    std::thread thread_;
};

}  // namespace kdv::testing
