#include "platform/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

#include <algorithm>
#include <climits>
#include <mutex>

#include "platform/clock.h"
#include "platform/windows_text.h"

namespace kdv {
namespace {

constexpr const char* kConnectTimedOut = "Zeitüberschreitung der Verbindung.";

SOCKET Native(std::intptr_t fd) { return static_cast<SOCKET>(fd); }

// Winsock is started once for the process and left running until it ends;
// a failed start is raised again at every use.
void StartWinsock() {
    static std::once_flag once;
    static int failure = 0;
    std::call_once(once, [] {
        WSADATA data{};
        failure = ::WSAStartup(MAKEWORD(2, 2), &data);
    });
    if (failure != 0) RaiseSocketError(failure);
}

SteadyTime DeadlineAfter(std::chrono::milliseconds limit) {
    if (limit.count() <= 0) return SteadyTime::max();
    return SystemSteadyClock().Now() + limit;
}

// Milliseconds left until `deadline` (INFINITE for max()); 0 when it passed.
DWORD MillisecondsLeft(SteadyTime deadline, bool& passed) {
    passed = false;
    if (deadline == SteadyTime::max()) return INFINITE;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SystemSteadyClock().Now());
    if (left.count() <= 0) {
        passed = true;
        return 0;
    }
    return left.count() >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(left.count());
}

// Waits for `events` on the socket until `deadline`. Returns false when the
// deadline passed.
bool PollUntil(SOCKET s, SHORT events, SteadyTime deadline) {
    for (;;) {
        bool passed = false;
        const DWORD left = MillisecondsLeft(deadline, passed);
        if (passed) return false;
        WSAPOLLFD entry{};
        entry.fd = s;
        entry.events = events;
        const int rc = ::WSAPoll(&entry, 1, left == INFINITE ? -1 : static_cast<INT>(std::min<DWORD>(left, INT_MAX)));
        if (rc > 0) return true;
        if (rc == SOCKET_ERROR) RaiseSocketError(::WSAGetLastError());
        // rc == 0: look at the clock again; a wake-up a little early
        // (rounding) must not count as a time-out.
    }
}

// Waits for the end of a non-blocking connect. select, not WSAPoll: older
// Windows versions never report a failed connect to WSAPoll, which would
// turn every refused connection into a time-out.
bool ConnectFinished(SOCKET s, SteadyTime deadline) {
    for (;;) {
        bool passed = false;
        const DWORD left = MillisecondsLeft(deadline, passed);
        if (passed) return false;
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s, &writable);
        FD_SET(s, &failed);
        timeval timeout{};
        timeval* limit = nullptr;
        if (left != INFINITE) {
            timeout.tv_sec = static_cast<long>(left / 1000);
            timeout.tv_usec = static_cast<long>((left % 1000) * 1000);
            limit = &timeout;
        }
        const int rc = ::select(0, nullptr, &writable, &failed, limit);
        if (rc > 0) return true;
        if (rc == SOCKET_ERROR) RaiseSocketError(::WSAGetLastError());
    }
}

void MakeNonBlocking(SOCKET s) {
    u_long on = 1;
    if (::ioctlsocket(s, FIONBIO, &on) != 0) RaiseSocketError(::WSAGetLastError());
}

// One connect attempt; returns the connected socket, or INVALID_SOCKET with
// `error` set. Raises the time-out when the deadline passes.
SOCKET ConnectOne(const addrinfo& address, SteadyTime deadline, int& error) {
    // Not inherited: a program the service starts must not keep its
    // connections open.
    const SOCKET s = ::WSASocketW(address.ai_family, address.ai_socktype, address.ai_protocol, nullptr, 0,
                                  WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        error = ::WSAGetLastError();
        return INVALID_SOCKET;
    }
    try {
        MakeNonBlocking(s);
        if (::connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0) return s;
        const int started = ::WSAGetLastError();
        if (started != WSAEWOULDBLOCK && started != WSAEINPROGRESS) {
            error = started;
            ::closesocket(s);
            return INVALID_SOCKET;
        }
        if (!ConnectFinished(s, deadline)) throw EDiraError(TErrorKind::ekTimeout, kConnectTimedOut);
        int result = 0;
        int length = sizeof result;
        if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&result), &length) != 0) {
            result = ::WSAGetLastError();
        }
        if (result == 0) return s;
        error = result;
        ::closesocket(s);
        return INVALID_SOCKET;
    } catch (...) {
        ::closesocket(s);
        throw;
    }
}

}  // namespace

std::unique_ptr<TSocket> TSocket::Connect(const std::string& host, std::uint16_t port, TIpVersion version,
                                          std::chrono::milliseconds limit) {
    StartWinsock();
    const SteadyTime deadline = DeadlineAfter(limit);
    const std::string service = std::to_string(port);
    // The wide call: getaddrinfo would read the name in the ANSI code page.
    ADDRINFOW wideHints{};
    wideHints.ai_family = version == TIpVersion::IPv6 ? AF_INET6 : AF_INET;
    wideHints.ai_socktype = SOCK_STREAM;
    wideHints.ai_protocol = IPPROTO_TCP;
    wideHints.ai_flags = AI_NUMERICSERV;
    ADDRINFOW* wideFound = nullptr;
    const int rc = ::GetAddrInfoW(WideFromUtf8(host).c_str(), WideFromUtf8(service).c_str(), &wideHints, &wideFound);
    if (rc != 0) {
        if (wideFound != nullptr) ::FreeAddrInfoW(wideFound);
        RaiseSocketError(rc);
    }
    int error = WSAECONNREFUSED;
    SOCKET s = INVALID_SOCKET;
    try {
        for (const ADDRINFOW* address = wideFound; address != nullptr && s == INVALID_SOCKET;
             address = address->ai_next) {
            addrinfo narrow{};
            narrow.ai_family = address->ai_family;
            narrow.ai_socktype = address->ai_socktype;
            narrow.ai_protocol = address->ai_protocol;
            narrow.ai_addrlen = address->ai_addrlen;
            narrow.ai_addr = address->ai_addr;
            s = ConnectOne(narrow, deadline, error);
        }
    } catch (...) {
        ::FreeAddrInfoW(wideFound);
        throw;
    }
    ::FreeAddrInfoW(wideFound);
    if (s == INVALID_SOCKET) RaiseSocketError(error);
    // Protocol lines are small and answered one by one: sending them at once
    // saves a round trip's delay per command.
    const BOOL on = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    // Whoever waits for an answer acknowledges what arrives at once: a TLS
    // 1.3 server holds its next reply until its session tickets are
    // acknowledged. Windows keeps this setting for the socket's life (Linux
    // must set it again before every wait); older versions refuse it, which
    // costs only that delay.
    DWORD ackFrequency = 1;
    DWORD returned = 0;
    ::WSAIoctl(s, SIO_TCP_SET_ACK_FREQUENCY, &ackFrequency, sizeof ackFrequency, nullptr, 0, &returned, nullptr,
               nullptr);
    return std::unique_ptr<TSocket>(new TSocket(static_cast<std::intptr_t>(s)));
}

TSocket::TSocket(std::intptr_t fd) : fd_(fd) {}

TSocket::~TSocket() { ::closesocket(Native(fd_)); }

TReceiveResult TSocket::Receive(char* buffer, std::size_t size, std::size_t& received) {
    received = 0;
    const int rc = ::recv(Native(fd_), buffer, static_cast<int>(std::min<std::size_t>(size, INT_MAX)), 0);
    if (rc > 0) {
        received = static_cast<std::size_t>(rc);
        return TReceiveResult::Data;
    }
    if (rc == 0) return size == 0 ? TReceiveResult::WouldBlock : TReceiveResult::Closed;
    const int error = ::WSAGetLastError();
    if (error == WSAEWOULDBLOCK) return TReceiveResult::WouldBlock;
    RaiseSocketError(error);
}

std::size_t TSocket::Send(const char* data, std::size_t size) {
    // Windows has no signal for a peer that is gone; the error comes back.
    const int rc = ::send(Native(fd_), data, static_cast<int>(std::min<std::size_t>(size, INT_MAX)), 0);
    if (rc >= 0) return static_cast<std::size_t>(rc);
    const int error = ::WSAGetLastError();
    if (error == WSAEWOULDBLOCK) return 0;
    RaiseSocketError(error);
}

bool TSocket::Wait(TSocketWait what, std::chrono::milliseconds limit) {
    return PollUntil(Native(fd_), what == TSocketWait::Read ? POLLRDNORM : POLLWRNORM, DeadlineAfter(limit));
}

int TSocket::LastError() { return ::WSAGetLastError(); }

void TSocket::ClearLastError() { ::WSASetLastError(0); }

bool IsIpAddressLiteral(const std::string& host) {
    unsigned char address[sizeof(IN6_ADDR)];
    return ::inet_pton(AF_INET, host.c_str(), address) == 1 || ::inet_pton(AF_INET6, host.c_str(), address) == 1;
}

// The German texts of the Linux build, under Windows' socket error numbers.
std::string SocketErrorText(int error) {
    std::string text;
    switch (error) {
        case WSAECONNREFUSED: text = "Verbindung abgelehnt."; break;
        case WSAEHOSTUNREACH: text = "Host nicht erreichbar."; break;
        case WSAENETUNREACH: text = "Netzwerk nicht erreichbar."; break;
        case WSAECONNRESET: text = "Verbindung wurde vom Peer zurückgesetzt."; break;
        case WSAEDISCON: text = "Verbindung wurde vom Peer geschlossen."; break;
        case WSAECONNABORTED: text = "Verbindung abgebrochen."; break;
        case WSAETIMEDOUT: text = "Zeitüberschreitung der Verbindung."; break;
        case WSAHOST_NOT_FOUND:
        case WSANO_DATA: text = "Host nicht gefunden."; break;
        case WSATRY_AGAIN: text = "Host nicht gefunden (Namensdienst nicht erreichbar)."; break;
        default: text = WindowsErrorText(static_cast<unsigned long>(error)); break;
    }
    return "Socket-Fehler # " + std::to_string(error) + "\r\n" + text;
}

TErrorKind SocketErrorKind(int error) {
    switch (error) {
        case WSAECONNREFUSED:
        case WSAEHOSTUNREACH:
        case WSAENETUNREACH:
        case WSAHOST_NOT_FOUND:
        case WSANO_DATA:
        case WSATRY_AGAIN:
            return TErrorKind::ekRefused;
        case WSAECONNRESET:
        case WSAEDISCON:
        case WSAECONNABORTED:
            return TErrorKind::ekPeerClosed;
        case WSAETIMEDOUT:
            return TErrorKind::ekTimeout;
        default:
            return TErrorKind::ekOther;
    }
}

void RaiseSocketError(int error) { throw EDiraError(SocketErrorKind(error), SocketErrorText(error)); }

}  // namespace kdv
