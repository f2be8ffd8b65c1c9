#pragma once
// The byte transport under a mail client: a TCP connection that a TLS
// transport can later run through a TLS channel. It reads some bytes, writes
// all of them, starts TLS and closes. Every wait is bounded: a read or write
// fails when no byte moves for the read time-out. A deadline on top bounds
// the whole of a reply or a transfer, so a peer that drips one byte at a
// time cannot hold the service; a stop request ends any wait within
// kStopPollInterval.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/socket.h"

namespace kdv {

// Waits that have no limit of their own end after this long: one silent
// server must not stop the whole service.
inline constexpr int kDefaultTimeLimitMs = 60000;

inline constexpr const char* kReadTimedOut = "Zeitüberschreitung beim Lesen.";
inline constexpr const char* kWriteTimedOut = "Zeitüberschreitung beim Schreiben.";
inline constexpr const char* kNotConnected = "Nicht verbunden";
inline constexpr const char* kClosedGracefully = "Die Verbindung wurde erfolgreich geschlossen.";
inline constexpr const char* kDeadlinePassed =
    "Zeitüberschreitung: der Server hat nicht innerhalb der Frist geantwortet.";
inline constexpr const char* kStopRequested = "Abbruch angefordert.";

// How often a wait asks whether a stop was requested.
inline constexpr std::chrono::milliseconds kStopPollInterval{250};

using TSteadyTime = std::chrono::steady_clock::time_point;

// The slowest rate a mail's transfer is granted: a mail server behind a
// shared line of 1 Mbit/s still does better, while a server that drips a
// byte at a time is cut off. A 50 MB mail gets about 13 minutes.
inline constexpr std::uint64_t kMinTransferBytesPerSecond = 64 * 1024;

// How long the transfer of a mail of `bytes` may take in all: `time_limit`
// for the server to get going, plus the bytes at kMinTransferBytesPerSecond.
std::chrono::milliseconds TransferTimeLimit(std::chrono::milliseconds time_limit, std::uint64_t bytes);

class TMailIOHandler {
public:
    TMailIOHandler();
    virtual ~TMailIOHandler();
    TMailIOHandler(const TMailIOHandler&) = delete;
    TMailIOHandler& operator=(const TMailIOHandler&) = delete;

    // Copied in by the client at every connect.
    std::string Host;
    std::uint16_t Port = 0;
    // Milliseconds; 0 or less: the read time-out (or its default) applies.
    int ConnectTimeout = 0;
    // Milliseconds of no progress; 0 or less: kDefaultTimeLimitMs.
    int ReadTimeout = 0;
    TIpVersion IPVersion = TIpVersion::IPv4;
    // Asked while a read or write waits; true ends the wait with an
    // EDiraError of kind ekCancelled. Set through TStopScope for a mail's
    // transfer; empty otherwise, so short commands (a deletion, QUIT) run
    // to their end.
    std::function<bool()> StopRequested;

    // The moment by which every read and write must be done, however much
    // progress they make; passing it raises kDeadlinePassed (ekTimeout).
    // Set through TDeadlineScope.
    std::optional<TSteadyTime> Deadline() const { return deadline_; }
    void SetDeadline(std::optional<TSteadyTime> deadline) {
        deadline_ = deadline;
        received_at_deadline_ = received_;
    }

    // Opens the TCP connection to Host:Port. A TLS transport that is not in
    // pass-through mode runs its handshake right after (implicit TLS). On
    // failure the transport is closed again and the error raised.
    virtual void Open();
    // Closes the connection (a TLS link is shut down first); harmless when closed.
    virtual void Close();
    bool IsOpen() const { return socket_ != nullptr; }

    // Waits until bytes arrive and reads up to `size` of them; returns 0 when
    // the peer has closed its side. Raises "Zeitüberschreitung beim Lesen."
    // when nothing arrives within the read time-out.
    std::size_t ReadSome(char* buffer, std::size_t size);
    // Reads what has arrived, without waiting.
    TReceiveResult ReadNow(char* buffer, std::size_t size, std::size_t& received);
    // Waits up to `limit` for readable bytes (or the peer's close).
    bool WaitReadable(std::chrono::milliseconds limit);
    // Writes every byte, as it stands.
    void WriteAll(std::string_view bytes);

    // Whether this transport can start TLS at all.
    virtual bool TlsCapable() const { return false; }
    // Runs the TLS handshake on the open connection; a plain transport cannot.
    virtual void StartTls();

    // The limits in force, defaults applied.
    std::chrono::milliseconds ReadLimit() const;
    std::chrono::milliseconds ConnectLimit() const;

protected:
    enum class TIoStatus { Done, WantRead, WantWrite, Closed };

    // One step without waiting; the TLS transport replaces both while its
    // link is up.
    virtual TIoStatus ReceiveStep(char* buffer, std::size_t size, std::size_t& received);
    virtual TIoStatus SendStep(const char* data, std::size_t size, std::size_t& sent);

    TSocket& Socket();
    // Waits for the direction a step asked for, bounded by `limit`; false on
    // time-out. Raises when the deadline passes or a stop is requested.
    bool WaitFor(TIoStatus status, std::chrono::milliseconds limit);
    // Raises when the deadline has passed or a stop was requested.
    void CheckDeadline() const;

    std::unique_ptr<TSocket> socket_;

private:
    std::optional<TSteadyTime> deadline_;
    // Bytes received in all, and when the deadline was set: a deadline
    // passed without any byte since is the plain read time-out.
    std::uint64_t received_ = 0;
    std::uint64_t received_at_deadline_ = 0;
};

// Lets `stop_requested` end the transport's waits while it lasts.
class TStopScope {
public:
    TStopScope(TMailIOHandler& transport, const std::function<bool()>& stop_requested);
    ~TStopScope();
    TStopScope(const TStopScope&) = delete;
    TStopScope& operator=(const TStopScope&) = delete;

private:
    TMailIOHandler& transport_;
    std::function<bool()> previous_;
};

// Narrows the transport's deadline to `within` from now (a deadline already
// nearer stays) and restores the previous one when it ends.
class TDeadlineScope {
public:
    TDeadlineScope(TMailIOHandler& transport, std::chrono::steady_clock::duration within);
    ~TDeadlineScope();
    TDeadlineScope(const TDeadlineScope&) = delete;
    TDeadlineScope& operator=(const TDeadlineScope&) = delete;

private:
    TMailIOHandler& transport_;
    std::optional<TSteadyTime> previous_;
};

}  // namespace kdv
