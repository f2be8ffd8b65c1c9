#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "platform/clock.h"

namespace kdv {
namespace {

constexpr const char* kConnectTimedOut = "Zeitüberschreitung der Verbindung.";

std::string SystemText(int error) {
    char buffer[256];
    // The GNU variant returns the text, which may or may not be `buffer`.
    const char* text = strerror_r(error, buffer, sizeof buffer);
    return text != nullptr ? text : "";
}

// Waits for `events` on `fd` until `deadline`; a deadline of max() waits
// without limit. Returns false when the deadline passed.
bool PollUntil(int fd, short events, SteadyTime deadline) {
    const bool unlimited = deadline == SteadyTime::max();
    for (;;) {
        int timeout_ms = -1;
        if (!unlimited) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SystemSteadyClock().Now());
            if (left.count() <= 0) return false;
            timeout_ms = left.count() > 0x7fffffff ? 0x7fffffff : static_cast<int>(left.count());
        }
        pollfd entry{fd, events, 0};
        const int rc = ::poll(&entry, 1, timeout_ms);
        if (rc > 0) return true;
        if (rc < 0 && errno != EINTR) RaiseSocketError(errno);
        // rc == 0 or EINTR: look at the clock again; a wake-up a little
        // early (rounding) must not count as a time-out.
    }
}

SteadyTime DeadlineAfter(std::chrono::milliseconds limit) {
    if (limit.count() <= 0) return SteadyTime::max();
    return SystemSteadyClock().Now() + limit;
}

void MakeNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) RaiseSocketError(errno);
}

// One connect attempt; returns the connected socket, or -1 with `error` set.
// Raises the time-out when the deadline passes.
int ConnectOne(const addrinfo& address, SteadyTime deadline, int& error) {
    const int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC, address.ai_protocol);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    try {
        MakeNonBlocking(fd);
        if (::connect(fd, address.ai_addr, address.ai_addrlen) == 0) return fd;
        if (errno != EINPROGRESS && errno != EINTR) {
            error = errno;
            ::close(fd);
            return -1;
        }
        if (!PollUntil(fd, POLLOUT, deadline)) throw EDiraError(TErrorKind::ekTimeout, kConnectTimedOut);
        int result = 0;
        socklen_t length = sizeof result;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &length) < 0) result = errno;
        if (result == 0) return fd;
        error = result;
        ::close(fd);
        return -1;
    } catch (...) {
        ::close(fd);
        throw;
    }
}

}  // namespace

std::unique_ptr<TSocket> TSocket::Connect(const std::string& host, std::uint16_t port, TIpVersion version,
                                          std::chrono::milliseconds limit) {
    // A write to a connection the peer has dropped must come back as an
    // error, not end the process; the TLS library writes to the socket
    // itself, so the flag on our own sends is not enough.
    static const bool kIgnoreBrokenPipe = [] {
        std::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)kIgnoreBrokenPipe;
    const SteadyTime deadline = DeadlineAfter(limit);
    addrinfo hints{};
    hints.ai_family = version == TIpVersion::IPv6 ? AF_INET6 : AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (rc != 0) {
        const int error = rc == EAI_SYSTEM ? errno : rc;
        if (found != nullptr) ::freeaddrinfo(found);
        RaiseSocketError(error);
    }
    int error = ECONNREFUSED;
    int fd = -1;
    try {
        for (const addrinfo* address = found; address != nullptr && fd < 0; address = address->ai_next) {
            fd = ConnectOne(*address, deadline, error);
        }
    } catch (...) {
        ::freeaddrinfo(found);
        throw;
    }
    ::freeaddrinfo(found);
    if (fd < 0) RaiseSocketError(error);
    // Protocol lines are small and answered one by one: sending them at once
    // saves a round trip's delay per command.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return std::unique_ptr<TSocket>(new TSocket(fd));
}

TSocket::TSocket(std::intptr_t fd) : fd_(fd) {}

TSocket::~TSocket() {
    ::close(fd_);
}

TReceiveResult TSocket::Receive(char* buffer, std::size_t size, std::size_t& received) {
    received = 0;
    for (;;) {
        const ssize_t rc = ::recv(fd_, buffer, size, 0);
        if (rc > 0) {
            received = static_cast<std::size_t>(rc);
            return TReceiveResult::Data;
        }
        if (rc == 0) return size == 0 ? TReceiveResult::WouldBlock : TReceiveResult::Closed;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return TReceiveResult::WouldBlock;
        RaiseSocketError(errno);
    }
}

std::size_t TSocket::Send(const char* data, std::size_t size) {
    for (;;) {
        // MSG_NOSIGNAL: a peer that is gone is an error to report, not a
        // signal that ends the process.
        const ssize_t rc = ::send(fd_, data, size, MSG_NOSIGNAL);
        if (rc >= 0) return static_cast<std::size_t>(rc);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        RaiseSocketError(errno);
    }
}

bool TSocket::Wait(TSocketWait what, std::chrono::milliseconds limit) {
    if (what == TSocketWait::Read) {
        // Whoever waits for an answer acknowledges what arrives at once. A
        // TLS 1.3 server sends its session tickets after the handshake and,
        // with Nagle's rule on its side, holds its next reply until they are
        // acknowledged; a delayed acknowledgement would stall every session
        // by some 40 ms. Sending a reply lets the kernel go back to delaying,
        // so the mode is set again before every wait.
        const int on = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    }
    return PollUntil(fd_, what == TSocketWait::Read ? POLLIN : POLLOUT, DeadlineAfter(limit));
}

int TSocket::LastError() {
    return errno;
}

void TSocket::ClearLastError() {
    errno = 0;
}

bool IsIpAddressLiteral(const std::string& host) {
    unsigned char address[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, host.c_str(), address) == 1 || ::inet_pton(AF_INET6, host.c_str(), address) == 1;
}

std::string SocketErrorText(int error) {
    std::string text;
    switch (error) {
        case ECONNREFUSED: text = "Verbindung abgelehnt."; break;
        case EHOSTUNREACH: text = "Host nicht erreichbar."; break;
        case ENETUNREACH: text = "Netzwerk nicht erreichbar."; break;
        case ECONNRESET: text = "Verbindung wurde vom Peer zurückgesetzt."; break;
        case EPIPE: text = "Verbindung wurde vom Peer geschlossen."; break;
        case ECONNABORTED: text = "Verbindung abgebrochen."; break;
        case ETIMEDOUT: text = "Zeitüberschreitung der Verbindung."; break;
        case EAI_NONAME:
        case EAI_NODATA:
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY:
#endif
            text = "Host nicht gefunden.";
            break;
        case EAI_AGAIN: text = "Host nicht gefunden (Namensdienst nicht erreichbar)."; break;
        default: text = error < 0 ? ::gai_strerror(error) : SystemText(error); break;
    }
    return "Socket-Fehler # " + std::to_string(error) + "\r\n" + text;
}

TErrorKind SocketErrorKind(int error) {
    switch (error) {
        case ECONNREFUSED:
        case EHOSTUNREACH:
        case ENETUNREACH:
        case EAI_NONAME:
        case EAI_NODATA:
        case EAI_AGAIN:
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY:
#endif
            return TErrorKind::ekRefused;
        case ECONNRESET:
        case EPIPE:
        case ECONNABORTED:
            return TErrorKind::ekPeerClosed;
        case ETIMEDOUT:
            return TErrorKind::ekTimeout;
        default:
            return TErrorKind::ekOther;
    }
}

void RaiseSocketError(int error) {
    throw EDiraError(SocketErrorKind(error), SocketErrorText(error));
}

}  // namespace kdv
