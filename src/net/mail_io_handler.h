#pragma once
// The byte transport under a mail client: a TCP connection that a TLS
// transport can later run through a TLS channel. It reads some bytes, writes
// all of them, starts TLS and closes. Every wait is bounded: a read or write
// fails when no byte moves for the read time-out, however long the whole
// transfer takes.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
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
    // time-out.
    bool WaitFor(TIoStatus status, std::chrono::milliseconds limit);

    std::unique_ptr<TSocket> socket_;
};

}  // namespace kdv
