#include "service/mail_eingang_jobs.h"

#include "clients/mail_imap4.h"
#include "incoming/mailbox_passes.h"
#include "net/mail_ssl_io_handler.h"
#include "platform/dira_error.h"

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
    CheckPOP3Postfach(ctx, [this] { return module_.StopRequested(); });
}

void TMailEingangJobs::ConfigureIMAP(const TImapStartSettings& s) {
    if (s.StartTLS && !s.SSL) throw EDiraError(TErrorKind::ekTls, kTlsHandlerRequired);
    imap_->Disconnect();
    imap_->SetIOHandler(nullptr);
    imap_->Host = s.Host;
    imap_->Username = s.Username;
    imap_->Password = s.Passwort;
    imap_->Port = static_cast<std::uint16_t>(s.Port);
    if (module_.ini) imap_->ReadTimeout = ConnectionTimeLimitMs(*module_.ini);
    if (s.SSL) {
        if (module_.ini) ApplyCertificateSettings(ioimap_->SSLOptions, *module_.ini);
        imap_->SetIOHandler(ioimap_.get());
        if (s.StartTLS) {
            imap_->SetUseTLS(TUseTLS::utUseExplicitTLS);
        } else if (s.Port == 993) {
            // The port of implicit TLS: a plain dialogue there never gets a greeting.
            imap_->SetUseTLS(TUseTLS::utUseImplicitTLS);
        }
    }
    if (imap_->UseTLS() != TUseTLS::utUseImplicitTLS && imap_->UseTLS() != TUseTLS::utUseRequireTLS &&
        module_.LogFileSys) {
        module_.LogFileSys->Add(5, "IMAP: Benutzername und Passwort gehen " +
                                       std::string(imap_->UseTLS() == TUseTLS::utUseExplicitTLS
                                                       ? "unverschlüsselt, wenn der Server kein STARTTLS anbietet,"
                                                       : "unverschlüsselt") +
                                       " an " + s.Host + ":" + std::to_string(imap_->Port) + ".");
    }
    configured_ = true;
}

void TMailEingangJobs::ConnectIMAP(const TImapStartSettings& s) {
    ConfigureIMAP(s);
    imap_->Connect(true);
}

void TMailEingangJobs::CheckIMAP() {
    TMailEmpfangContext ctx = module_.MailEmpfangContext();
    if (!configured_) {
        // Switched on while the service runs: set up as a start would have.
        try {
            ConfigureIMAP(ReadImapStartSettings(ctx.Ini));
        } catch (const std::exception& e) {
            ctx.Log.Add(3, std::string("Verbindungsfehler IMAP: ") + e.what());
            return;
        }
    }
    CheckIMAPPostfach(ctx, *imap_, [this] { return module_.StopRequested(); });
}

}  // namespace kdv
