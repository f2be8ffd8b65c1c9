#include "support/test_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <vector>

namespace kdv::testing {
namespace {

int Fd(TTestSocket socket) { return static_cast<int>(socket); }

bool Loopback(const std::string& address, std::uint16_t port, sockaddr_in& out) {
    out = {};
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    return ::inet_pton(AF_INET, address.c_str(), &out.sin_addr) == 1;
}

}  // namespace

TTestSocket ListenOn(const std::string& address, int backlog, std::uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return kNoTestSocket;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in bound{};
    if (!Loopback(address, 0, bound) || ::bind(fd, reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0 ||
        ::listen(fd, backlog) != 0) {
        ::close(fd);
        return kNoTestSocket;
    }
    socklen_t length = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    port = ntohs(bound.sin_port);
    return fd;
}

TTestSocket AcceptConnection(TTestSocket listener, bool non_blocking) {
    const int fd = ::accept4(Fd(listener), nullptr, nullptr, SOCK_CLOEXEC | (non_blocking ? SOCK_NONBLOCK : 0));
    return fd >= 0 ? fd : kNoTestSocket;
}

TTestSocket ConnectTo(const std::string& address, std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return kNoTestSocket;
    sockaddr_in peer{};
    if (!Loopback(address, port, peer) || ::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
        ::close(fd);
        return kNoTestSocket;
    }
    return fd;
}

std::uint16_t UnusedLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

int WaitSockets(TSocketWaitEntry* entries, std::size_t count, int timeout_ms) {
    std::vector<pollfd> fds(count);
    for (std::size_t i = 0; i < count; ++i) {
        fds[i] = {Fd(entries[i].socket), static_cast<short>(entries[i].write ? POLLOUT : POLLIN), 0};
    }
    const int rc = ::poll(fds.data(), fds.size(), timeout_ms);
    for (std::size_t i = 0; i < count; ++i) entries[i].ready = rc > 0 && fds[i].revents != 0;
    if (rc < 0) return errno == EINTR ? 0 : -1;
    return rc;
}

long ReceiveSome(TTestSocket socket, char* buffer, std::size_t size) {
    return static_cast<long>(::recv(Fd(socket), buffer, size, 0));
}

long SendSome(TTestSocket socket, const char* data, std::size_t size) {
    return static_cast<long>(::send(Fd(socket), data, size, MSG_NOSIGNAL));
}

bool TryAgainLater() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }

void ShutdownSending(TTestSocket socket) { ::shutdown(Fd(socket), SHUT_WR); }

void ShutdownBoth(TTestSocket socket) { ::shutdown(Fd(socket), SHUT_RDWR); }

void CloseTestSocket(TTestSocket socket) {
    if (socket != kNoTestSocket) ::close(Fd(socket));
}

void IgnoreBrokenPipes() { std::signal(SIGPIPE, SIG_IGN); }

}  // namespace kdv::testing
