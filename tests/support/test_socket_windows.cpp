#include "support/test_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <mutex>
#include <vector>

namespace kdv::testing {
namespace {

SOCKET Native(TTestSocket socket) { return static_cast<SOCKET>(socket); }

// Winsock is started once and left running until the process ends.
void StartWinsock() {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data{};
        ::WSAStartup(MAKEWORD(2, 2), &data);
    });
}

bool Loopback(const std::string& address, std::uint16_t port, sockaddr_in& out) {
    out = {};
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    return ::inet_pton(AF_INET, address.c_str(), &out.sin_addr) == 1;
}

SOCKET NewSocket() {
    StartWinsock();
    return ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

}  // namespace

TTestSocket ListenOn(const std::string& address, int backlog, std::uint16_t& port) {
    const SOCKET s = NewSocket();
    if (s == INVALID_SOCKET) return kNoTestSocket;
    // No SO_REUSEADDR: on Windows it would let another socket take the port.
    sockaddr_in bound{};
    if (!Loopback(address, 0, bound) || ::bind(s, reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0 ||
        ::listen(s, backlog) != 0) {
        ::closesocket(s);
        return kNoTestSocket;
    }
    int length = sizeof bound;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length);
    port = ntohs(bound.sin_port);
    return static_cast<TTestSocket>(s);
}

TTestSocket AcceptConnection(TTestSocket listener, bool non_blocking) {
    const SOCKET s = ::accept(Native(listener), nullptr, nullptr);
    if (s == INVALID_SOCKET) return kNoTestSocket;
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    u_long on = non_blocking ? 1 : 0;
    ::ioctlsocket(s, FIONBIO, &on);
    return static_cast<TTestSocket>(s);
}

TTestSocket ConnectTo(const std::string& address, std::uint16_t port) {
    const SOCKET s = NewSocket();
    if (s == INVALID_SOCKET) return kNoTestSocket;
    sockaddr_in peer{};
    if (!Loopback(address, port, peer) || ::connect(s, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
        ::closesocket(s);
        return kNoTestSocket;
    }
    return static_cast<TTestSocket>(s);
}

std::uint16_t UnusedLoopbackPort() {
    const SOCKET s = NewSocket();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int length = sizeof address;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    ::closesocket(s);
    return ntohs(address.sin_port);
}

int WaitSockets(TSocketWaitEntry* entries, std::size_t count, int timeout_ms) {
    std::vector<WSAPOLLFD> fds(count);
    for (std::size_t i = 0; i < count; ++i) {
        fds[i] = {Native(entries[i].socket), static_cast<SHORT>(entries[i].write ? POLLWRNORM : POLLRDNORM), 0};
    }
    const int rc = ::WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeout_ms);
    for (std::size_t i = 0; i < count; ++i) entries[i].ready = rc > 0 && fds[i].revents != 0;
    if (rc == SOCKET_ERROR) return ::WSAGetLastError() == WSAEINTR ? 0 : -1;
    return rc;
}

long ReceiveSome(TTestSocket socket, char* buffer, std::size_t size) {
    return ::recv(Native(socket), buffer, static_cast<int>(size), 0);
}

long SendSome(TTestSocket socket, const char* data, std::size_t size) {
    return ::send(Native(socket), data, static_cast<int>(size), 0);
}

bool TryAgainLater() {
    const int error = ::WSAGetLastError();
    return error == WSAEWOULDBLOCK || error == WSAEINTR;
}

void ShutdownSending(TTestSocket socket) { ::shutdown(Native(socket), SD_SEND); }

void ShutdownBoth(TTestSocket socket) { ::shutdown(Native(socket), SD_BOTH); }

void CloseTestSocket(TTestSocket socket) {
    if (socket != kNoTestSocket) ::closesocket(Native(socket));
}

void IgnoreBrokenPipes() {}

}  // namespace kdv::testing
