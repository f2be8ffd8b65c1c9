#include "service/mail_eingang_jobs.h"

#include "clients/mail_imap4.h"
#include "incoming/mailbox_passes.h"
#include "net/mail_ssl_io_handler.h"
#include "platform/dira_error.h"
#include "service/connection_settings.h"
#include "service/mailbox_settings.h"
#include "service/oauth_token_provider.h"

namespace kdv {

TMailEingangJobs::TMailEingangJobs(Tdiravid& module)
    : module_(module),
      ioimap_(std::make_unique<TMailSSLIOHandlerSocketOpenSSL>()),
      imap_(std::make_unique<TMailIMAP4>()) {
    ioimap_->SSLOptions.SetSSLVersions({TMailSSLVersion::sslvTLSv1_2});
    ioimap_->SSLOptions.Mode = TMailSSLMode::sslmClient;
}

TMailEingangJobs::~TMailEingangJobs() {
    // The client goes first: it may still talk through the transport.
    imap_->Disconnect();
    imap_.reset();
}

void TMailEingangJobs::CheckPOP3() {
    TMailEmpfangContext ctx = module_.MailEmpfangContext();
    CheckPOP3Postfach(ctx, ReadPop3Settings(ctx.Ini), [this] { return module_.StopRequested(); });
}

void ConfigureImapClient(TMailIMAP4& imap, TMailSSLIOHandlerSocketOpenSSL& tls, const TImapStartSettings& s,
                         const TIniFile* ini, TLogFile* log) {
    if (s.StartTLS && !s.SSL) throw EDiraError(TErrorKind::ekTls, kTlsHandlerRequired);
    tls.SSLOptions.SetSSLVersions({TMailSSLVersion::sslvTLSv1_2});
    tls.SSLOptions.Mode = TMailSSLMode::sslmClient;
    imap.Disconnect();
    imap.SetIOHandler(nullptr);
    imap.Host = s.Host;
    imap.Username = s.Username;
    imap.Password = s.Passwort;
    imap.Port = static_cast<std::uint16_t>(s.Port);
    if (ini) imap.ReadTimeout = ReadConnectionTimeLimitMs(*ini);
    if (s.SSL) {
        if (ini) ApplyCertificateSettings(tls.SSLOptions, ReadCertificateCheck(*ini));
        imap.SetIOHandler(&tls);
        if (s.StartTLS) {
            imap.SetUseTLS(TUseTLS::utUseExplicitTLS);
        } else if (s.Port == 993) {
            // The port of implicit TLS: a plain dialogue there never gets a greeting.
            imap.SetUseTLS(TUseTLS::utUseImplicitTLS);
        }
    }
    if (imap.UseTLS() != TUseTLS::utUseImplicitTLS && imap.UseTLS() != TUseTLS::utUseRequireTLS && log) {
        log->Add(5, "IMAP: Benutzername und Passwort gehen " +
                        std::string(imap.UseTLS() == TUseTLS::utUseExplicitTLS
                                        ? "unverschlüsselt, wenn der Server kein STARTTLS anbietet,"
                                        : "unverschlüsselt") +
                        " an " + s.Host + ":" + std::to_string(imap.Port) + ".");
    }
}

void TMailEingangJobs::ConfigureIMAP(const TImapStartSettings& s) {
    ConfigureImapClient(*imap_, *ioimap_, s, module_.ini.get(), module_.LogFileSys.get());
    const auto oauth = module_.ini ? ReadProtocolOAuth(*module_.ini, "IMAP") : std::nullopt;
    imap_oauth_ = oauth ? OAuthTokenProvider(*oauth) : nullptr;
    imap_->OAuth = imap_oauth_.get();
    configured_ = true;
}

void TMailEingangJobs::ConnectIMAP(const TImapStartSettings& s) {
    ConfigureIMAP(s);
    try {
        imap_->Connect(true);
    } catch (...) {
        connect_failed_at_ = std::chrono::steady_clock::now();
        throw;
    }
}

void TMailEingangJobs::CheckIMAP() {
    TMailEmpfangContext ctx = module_.MailEmpfangContext();
    if (!configured_) {
        // Switched on while the service runs: set up as a start would have.
        try {
            ConfigureIMAP(ReadImapStartSettings(ctx.Ini));
        } catch (const std::exception& e) {
            ctx.Log.Add(3, std::string(kImapConnectError) + e.what());
            return;
        }
    }
    if (connect_failed_at_ && std::chrono::steady_clock::now() - *connect_failed_at_ < kImapReconnectPause) {
        // A cycle right after a failed start (a single run) would only wait
        // for the same unreachable or stalling server a second time.
        connect_failed_at_.reset();
        ctx.Log.Add(5, "Der IMAP-Server war beim Start eben nicht erreichbar; der nächste Versuch folgt im nächsten "
                       "Zyklus.");
        return;
    }
    connect_failed_at_.reset();
    CheckIMAPPostfach(ctx, *imap_, [this] { return module_.StopRequested(); });
}

}  // namespace kdv
