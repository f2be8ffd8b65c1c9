#pragma once
// TCP client sockets, name resolution and readiness waits. The socket is
// non-blocking once connected: every wait is an explicit readiness wait with
// a limit, so no call can hang on a silent peer.
//
// Failures are EDiraError with the message "Socket-Fehler # <number>" + CR LF
// + a German text for the common cases (the system's text otherwise); the
// number is the system's error number, for a failed name lookup the
// resolver's code.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/dira_error.h"

namespace kdv {

enum class TIpVersion { IPv4, IPv6 };

enum class TSocketWait { Read, Write };

// What a receive without waiting found.
enum class TReceiveResult {
    Data,        // bytes were read
    WouldBlock,  // nothing has arrived yet
    Closed,      // the peer closed its side in order
};

class TSocket {
public:
    // Resolves `host` (a literal address is used as it stands) and connects,
    // trying each address in turn until `limit` has passed in total.
    // Raises "Zeitüberschreitung der Verbindung." (ekTimeout) when the limit
    // passes, socket errors otherwise (a refused, unreachable or unknown host
    // has kind ekRefused).
    static std::unique_ptr<TSocket> Connect(const std::string& host, std::uint16_t port, TIpVersion version,
                                            std::chrono::milliseconds limit);

    ~TSocket();
    TSocket(const TSocket&) = delete;
    TSocket& operator=(const TSocket&) = delete;

    // Reads what has arrived, up to `size` bytes, without waiting.
    // Raises a socket error (a reset has kind ekPeerClosed).
    TReceiveResult Receive(char* buffer, std::size_t size, std::size_t& received);

    // Sends what the system takes at once without waiting; returns the
    // number of bytes taken (0 when its buffer is full). A peer that is gone
    // raises a socket error of kind ekPeerClosed.
    std::size_t Send(const char* data, std::size_t size);

    // Waits until the socket is readable (or writable), an error or hang-up
    // is pending, or `limit` has passed; returns false only in the last case.
    bool Wait(TSocketWait what, std::chrono::milliseconds limit);

    // The system's handle, for a TLS library that works on it directly.
    std::intptr_t NativeHandle() const { return fd_; }

    // The number of the last socket error of this thread, for a TLS library
    // that reports "see the system's error".
    static int LastError();
    static void ClearLastError();

private:
    // The system's socket: a descriptor on Linux, a SOCKET on Windows.
    explicit TSocket(std::intptr_t fd);
    std::intptr_t fd_;
};

// True when `host` is an IPv4 or IPv6 address literal rather than a name.
bool IsIpAddressLiteral(const std::string& host);

// The message of a socket error with this system error number.
std::string SocketErrorText(int error);
// The error kind of that number.
TErrorKind SocketErrorKind(int error);
[[noreturn]] void RaiseSocketError(int error);

}  // namespace kdv
