#pragma once
// The sockets of the test servers (scripted peer, cutting proxy, token
// endpoint): listen, accept, connect, wait and move bytes on loopback,
// whatever the system's socket calls are called.
#include <cstddef>
#include <cstdint>
#include <string>

namespace kdv::testing {

// A descriptor on Linux, a SOCKET on Windows.
using TTestSocket = std::intptr_t;
inline constexpr TTestSocket kNoTestSocket = -1;

// A socket listening on `address` (an IPv4 literal) at a port the system
// picks, which goes into `port`; kNoTestSocket when that fails. Child
// processes do not inherit it: a server a test starts would keep the port
// open after the test closed it.
TTestSocket ListenOn(const std::string& address, int backlog, std::uint16_t& port);
// The next waiting connection (kNoTestSocket when there is none), not
// inherited either; non-blocking when asked.
TTestSocket AcceptConnection(TTestSocket listener, bool non_blocking);
// A blocking connection to `address`:`port`; kNoTestSocket when it fails.
TTestSocket ConnectTo(const std::string& address, std::uint16_t port);

// A loopback port on which nothing listens: bound, then closed again, so
// free unless another process takes it at once.
std::uint16_t UnusedLoopbackPort();

struct TSocketWaitEntry {
    TTestSocket socket = kNoTestSocket;
    bool write = false;  // wait until writable instead of readable
    bool ready = false;  // set by WaitSockets: ready, in error or hung up
};
// Waits at most `timeout_ms` for one of the entries; returns how many are
// ready, 0 when the time passed or the wait was interrupted, -1 on an error.
int WaitSockets(TSocketWaitEntry* entries, std::size_t count, int timeout_ms);

// The bytes received (> 0), 0 when the peer closed in order, -1 on an error
// or nothing to read on a non-blocking socket (TryAgainLater tells which).
long ReceiveSome(TTestSocket socket, char* buffer, std::size_t size);
// The bytes sent, -1 as above. A peer that has gone never ends the test
// program (no SIGPIPE).
long SendSome(TTestSocket socket, const char* data, std::size_t size);
// Whether the last failed call of this thread only has to be tried again.
bool TryAgainLater();

void ShutdownSending(TTestSocket socket);
void ShutdownBoth(TTestSocket socket);
void CloseTestSocket(TTestSocket socket);

// Writing to a peer that has gone must not end the test program: the TLS
// library writes to the sockets itself. Linux: SIGPIPE is ignored; Windows
// has no such signal.
void IgnoreBrokenPipes();

}  // namespace kdv::testing
