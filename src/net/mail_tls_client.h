#pragma once
// The TCP client every mail client derives from: host, port and time-outs,
// the transport it talks through, its line input and output, and the
// explicit-TLS control that decides when TLS starts and which port follows
// from the TLS mode.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "net/mail_io_handler.h"
#include "net/mail_line_io.h"

namespace kdv {

enum class TUseTLS { utNoTLSSupport, utUseImplicitTLS, utUseRequireTLS, utUseExplicitTLS };

inline constexpr const char* kAlreadyConnected = "Verbindung besteht bereits.";
inline constexpr const char* kHostRequired = "A Host is required";
inline constexpr const char* kPortRequired = "A Port is required";
inline constexpr const char* kCanNotSetWhileConnected =
    "Dieser Wert kann nicht gesetzt werden, während der Client verbunden ist.";
inline constexpr const char* kTlsHandlerRequired = "SSL IOHandler ist für diese Einstellung erforderlich";
inline constexpr const char* kTlsNotAvailable = "SSL ist auf diesem Server nicht verfügbar.";
inline constexpr const char* kTlsCommandFailed = "Befehl zum Starten der SSL-Aushandlung fehlgeschlagen.";
inline constexpr const char* kTlsNegotiationFailed = "SSL-Aushandlung fehlgeschlagen.";

class TMailExplicitTLSClient {
public:
    // The protocol's regular, implicit-TLS and explicit-TLS ports; the
    // regular one is the initial Port.
    TMailExplicitTLSClient(std::uint16_t regular_port, std::uint16_t implicit_tls_port,
                           std::uint16_t explicit_tls_port);
    virtual ~TMailExplicitTLSClient();
    TMailExplicitTLSClient(const TMailExplicitTLSClient&) = delete;
    TMailExplicitTLSClient& operator=(const TMailExplicitTLSClient&) = delete;

    std::string Host;
    std::uint16_t Port;
    // Milliseconds; 0 or -1: the read time-out bounds the connect.
    int ConnectTimeout = 0;
    // Milliseconds of no progress; 0 or -1: the transport's default.
    int ReadTimeout = -1;
    TIpVersion IPVersion = TIpVersion::IPv4;
    // Asked while a mail's transfer waits: true ends the wait (see
    // TMailIOHandler::StopRequested).
    std::function<bool()> StopRequested;

    // The transport to use (not owned; it must outlive the client or be
    // replaced first; freeing it closes its connection). Null: a plain transport is made at connect. A
    // transport that cannot do TLS resets UseTLS to utNoTLSSupport.
    void SetIOHandler(TMailIOHandler* handler);
    TMailIOHandler* IOHandler() const { return handler_; }

    TUseTLS UseTLS() const { return use_tls_; }
    // Refused while connected and, for any TLS mode, without a TLS
    // transport. A port equal to one of the protocol's ports follows the mode.
    void SetUseTLS(TUseTLS value);

    void Connect();
    void Connect(const std::string& host);
    // False once the peer has closed and nothing received remains unread.
    bool Connected();
    // With `notify_peer` and a live connection the farewell command goes out
    // first (its failure is swallowed); then the transport closes.
    void Disconnect(bool notify_peer = true);

    // Line input and output of the open connection; "Nicht verbunden"
    // before the first connect.
    TMailLineIO& IO();

protected:
    // The protocol's farewell (QUIT, LOGOUT); nothing by default.
    virtual void SendFarewell() {}

    // Whether the STARTTLS step is due: a TLS transport, a mode that wants
    // TLS later, and the link still unencrypted.
    bool StartTlsDue() const;
    // Runs the handshake on the open connection. On failure the connection
    // is closed and "SSL-Aushandlung fehlgeschlagen." raised, followed by
    // CR LF and the reason.
    void TLSHandshake();
    // STARTTLS not offered: utUseRequireTLS closes (with the farewell when
    // `notify_peer`) and raises "SSL ist auf diesem Server nicht
    // verfügbar."; utUseExplicitTLS goes on unencrypted.
    void ProcessTLSNotAvailable(bool notify_peer = true);
    // STARTTLS refused by the server: closes and raises.
    [[noreturn]] void TLSCommandRefused(bool notify_peer = true);

private:
    TMailIOHandler& EnsureHandler();

    std::uint16_t regular_port_;
    std::uint16_t implicit_tls_port_;
    std::uint16_t explicit_tls_port_;
    TUseTLS use_tls_ = TUseTLS::utNoTLSSupport;
    TMailIOHandler* handler_ = nullptr;
    std::unique_ptr<TMailIOHandler> own_handler_;
    std::unique_ptr<TMailLineIO> io_;
};

}  // namespace kdv
