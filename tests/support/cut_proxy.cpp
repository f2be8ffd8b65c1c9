#include "support/cut_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

namespace kdv::testing {

TCutProxy::TCutProxy(std::string host, std::uint16_t port, std::size_t cut_after)
    : host_(std::move(host)), upstream_port_(port), cut_after_(cut_after) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listener_ < 0) throw std::runtime_error("proxy: no socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 8) != 0) {
        throw std::runtime_error("proxy: cannot listen");
    }
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

TCutProxy::~TCutProxy() {
    stop_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
}

void TCutProxy::Serve() {
    bool first = true;
    while (!stop_) {
        pollfd wait{listener_, POLLIN, 0};
        if (::poll(&wait, 1, 100) <= 0) continue;
        const int client = ::accept(listener_, nullptr, nullptr);
        if (client < 0) continue;
        Pipe(client, first ? cut_after_ : static_cast<std::size_t>(-1));
        first = false;
    }
}

// One connection at a time: the clients under test never open two.
void TCutProxy::Pipe(int client, std::size_t limit) {
    const int server = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(upstream_port_);
    ::inet_pton(AF_INET, host_.c_str(), &address.sin_addr);
    if (::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(server);
        ::close(client);
        return;
    }
    std::size_t from_server = 0;
    std::vector<char> buffer(16384);
    while (!stop_) {
        pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        if (::poll(fds, 2, 100) <= 0) continue;
        bool closed = false;
        for (int side = 0; side < 2 && !closed; ++side) {
            if ((fds[side].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            std::size_t want = buffer.size();
            if (side == 1 && limit - from_server < want) want = limit - from_server;
            const ssize_t got = ::recv(fds[side].fd, buffer.data(), want, 0);
            if (got <= 0) {
                closed = true;
                break;
            }
            const int to = side == 0 ? server : client;
            for (ssize_t sent = 0; sent < got;) {
                const ssize_t n = ::send(to, buffer.data() + sent, static_cast<std::size_t>(got - sent), MSG_NOSIGNAL);
                if (n <= 0) {
                    closed = true;
                    break;
                }
                sent += n;
            }
            if (side == 1) {
                from_server += static_cast<std::size_t>(got);
                if (from_server >= limit) {
                    cut_ = true;
                    closed = true;
                }
            }
        }
        if (closed) break;
    }
    ::close(server);
    ::close(client);
}

}  // namespace kdv::testing
