#include "net/mail_tls_client.h"

#include "net/mail_ssl_io_handler.h"

namespace kdv {
namespace {

TMailSSLIOHandlerSocketOpenSSL* AsTls(TMailIOHandler* handler) {
    return handler != nullptr && handler->TlsCapable() ? static_cast<TMailSSLIOHandlerSocketOpenSSL*>(handler)
                                                       : nullptr;
}

}  // namespace

TMailExplicitTLSClient::TMailExplicitTLSClient(std::uint16_t regular_port, std::uint16_t implicit_tls_port,
                                               std::uint16_t explicit_tls_port)
    : Port(regular_port),
      regular_port_(regular_port),
      implicit_tls_port_(implicit_tls_port),
      explicit_tls_port_(explicit_tls_port) {}

// A transport of the caller's stays as it is: freeing it ends its
// connection. One the client made itself goes with the client.
TMailExplicitTLSClient::~TMailExplicitTLSClient() = default;

void TMailExplicitTLSClient::SetIOHandler(TMailIOHandler* handler) {
    if (handler_ != nullptr && handler_->IsOpen()) throw EDiraError(TErrorKind::ekUsage, kCanNotSetWhileConnected);
    io_.reset();
    own_handler_.reset();
    handler_ = handler;
    if (handler_ != nullptr) {
        handler_->Host = Host;
        handler_->Port = Port;
        handler_->ConnectTimeout = ConnectTimeout;
        handler_->ReadTimeout = ReadTimeout;
    }
    if (AsTls(handler_) == nullptr) use_tls_ = TUseTLS::utNoTLSSupport;
}

void TMailExplicitTLSClient::SetUseTLS(TUseTLS value) {
    if (handler_ != nullptr && handler_->IsOpen()) throw EDiraError(TErrorKind::ekUsage, kCanNotSetWhileConnected);
    if (value != TUseTLS::utNoTLSSupport && AsTls(handler_) == nullptr) {
        throw EDiraError(TErrorKind::ekTls, kTlsHandlerRequired);
    }
    if (value == use_tls_) return;
    switch (value) {
        case TUseTLS::utUseImplicitTLS:
            if (Port == regular_port_ || Port == explicit_tls_port_) Port = implicit_tls_port_;
            break;
        case TUseTLS::utUseExplicitTLS:
            if (Port == regular_port_ || Port == implicit_tls_port_) Port = explicit_tls_port_;
            break;
        case TUseTLS::utNoTLSSupport:
        case TUseTLS::utUseRequireTLS:
            if (Port == implicit_tls_port_ || Port == explicit_tls_port_) Port = regular_port_;
            break;
    }
    use_tls_ = value;
}

TMailIOHandler& TMailExplicitTLSClient::EnsureHandler() {
    if (handler_ == nullptr) {
        own_handler_ = std::make_unique<TMailIOHandler>();
        handler_ = own_handler_.get();
    }
    return *handler_;
}

void TMailExplicitTLSClient::Connect(const std::string& host) {
    Host = host;
    Connect();
}

void TMailExplicitTLSClient::Connect() {
    if (handler_ != nullptr && handler_->IsOpen()) {
        if (io_ && io_->Connected()) throw EDiraError(TErrorKind::ekUsage, kAlreadyConnected);
        handler_->Close();
    }
    if (Host.empty()) throw EDiraError(TErrorKind::ekUsage, kHostRequired);
    if (Port == 0) throw EDiraError(TErrorKind::ekUsage, kPortRequired);
    TMailIOHandler& handler = EnsureHandler();
    handler.Host = Host;
    handler.Port = Port;
    handler.ConnectTimeout = ConnectTimeout;
    handler.ReadTimeout = ReadTimeout;
    handler.IPVersion = IPVersion;
    handler.StopRequested = nullptr;
    handler.SetDeadline({});
    if (auto* tls = AsTls(&handler)) {
        // Implicit TLS handshakes right after the TCP connect; every other
        // mode starts unencrypted (STARTTLS may follow, or never).
        tls->SetPassThrough(use_tls_ != TUseTLS::utUseImplicitTLS);
    }
    io_.reset();
    try {
        handler.Open();
    } catch (...) {
        handler.Close();
        if (own_handler_) {
            handler_ = nullptr;
            own_handler_.reset();
        }
        throw;
    }
    io_ = std::make_unique<TMailLineIO>(handler);
}

bool TMailExplicitTLSClient::Connected() {
    if (handler_ == nullptr || !handler_->IsOpen() || !io_) return false;
    try {
        return io_->Connected();
    } catch (const EDiraError&) {
        return false;
    }
}

void TMailExplicitTLSClient::Disconnect(bool notify_peer) {
    if (notify_peer && Connected()) {
        try {
            SendFarewell();
        } catch (const EDiraError&) {
            // A farewell that fails changes nothing: the connection ends.
        }
    }
    if (handler_ != nullptr) handler_->Close();
    io_.reset();
}

TMailLineIO& TMailExplicitTLSClient::IO() {
    if (!io_) throw EDiraError(TErrorKind::ekUsage, kNotConnected);
    return *io_;
}

bool TMailExplicitTLSClient::StartTlsDue() const {
    const auto* tls = AsTls(handler_);
    return tls != nullptr && tls->PassThrough() &&
           (use_tls_ == TUseTLS::utUseRequireTLS || use_tls_ == TUseTLS::utUseExplicitTLS);
}

void TMailExplicitTLSClient::TLSHandshake() {
    auto* tls = AsTls(handler_);
    if (tls == nullptr) throw EDiraError(TErrorKind::ekTls, kTlsHandlerRequired);
    try {
        // Bytes the server sent before the handshake belong to the
        // unencrypted dialogue and must not be taken as TLS data.
        IO().DiscardInput();
        tls->SetPassThrough(false);
    } catch (const EDiraError& error) {
        Disconnect(false);
        const TErrorKind kind = error.ErrorKind() == TErrorKind::ekOther ? TErrorKind::ekTls : error.ErrorKind();
        throw EDiraError(kind, std::string(kTlsNegotiationFailed) + "\r\n" + error.what());
    }
}

void TMailExplicitTLSClient::ProcessTLSNotAvailable(bool notify_peer) {
    if (use_tls_ != TUseTLS::utUseRequireTLS) return;
    Disconnect(notify_peer);
    throw EDiraError(TErrorKind::ekTls, kTlsNotAvailable);
}

void TMailExplicitTLSClient::TLSCommandRefused(bool notify_peer) {
    Disconnect(notify_peer);
    throw EDiraError(TErrorKind::ekTls, kTlsCommandFailed);
}

}  // namespace kdv
