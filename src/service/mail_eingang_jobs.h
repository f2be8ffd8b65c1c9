#pragma once
// The incoming-mail jobs of the poll cycle and the IMAP set-up at start,
// which the program's entry assigns to the service module's jobs. Owns the
// long-lived IMAP client and its TLS transport.
#include <chrono>
#include <memory>
#include <optional>

#include "service/diravid_module.h"

namespace kdv {

class TMailIMAP4;
class IOAuthTokenSource;
class TMailSSLIOHandlerSocketOpenSSL;

// Sets the IMAP client up from the settings: SSL attaches `tls`, StartTLS
// asks for STARTTLS, and port 993 without STARTTLS speaks implicit TLS.
// `ini` (time-out, certificate check) and `log` may be null. Raises for a
// combination that cannot work; logs a level-5 line when the login would go
// out unencrypted.
void ConfigureImapClient(TMailIMAP4& imap, TMailSSLIOHandlerSocketOpenSSL& tls, const TImapStartSettings& s,
                         const TIniFile* ini, TLogFile* log);

// A connect that failed at start is not tried again by a cycle that follows
// within this pause.
inline constexpr std::chrono::seconds kImapReconnectPause{10};

class TMailEingangJobs {
public:
    explicit TMailEingangJobs(Tdiravid& module);
    ~TMailEingangJobs();
    TMailEingangJobs(const TMailEingangJobs&) = delete;
    TMailEingangJobs& operator=(const TMailEingangJobs&) = delete;

    // The POP3 and the IMAP pass of the cycle, on the module's shared objects.
    void CheckPOP3();
    void CheckIMAP();
    // Configures the client as below and connects and logs in; raises on failure.
    void ConnectIMAP(const TImapStartSettings& settings);

    // Configures the IMAP client from the settings: [IMAP] SSL attaches the
    // TLS transport, [StartTLS] Aktiv asks for STARTTLS, and port 993
    // without STARTTLS speaks implicit TLS. Raises for a combination that
    // cannot work; logs a level-5 line when the login would go out
    // unencrypted.
    void ConfigureIMAP(const TImapStartSettings& settings);
    TMailIMAP4& IMAP() { return *imap_; }

private:

    Tdiravid& module_;
    std::unique_ptr<TMailSSLIOHandlerSocketOpenSSL> ioimap_;
    std::unique_ptr<TMailIMAP4> imap_;
    // The IMAP client's token source while [IMAP] Anmeldung=OAuth2.
    std::shared_ptr<IOAuthTokenSource> imap_oauth_;
    bool configured_ = false;
    std::optional<std::chrono::steady_clock::time_point> connect_failed_at_;
};

}  // namespace kdv
