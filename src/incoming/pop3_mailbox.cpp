#include "incoming/pop3_mailbox.h"

#include "incoming/debug_stamp.h"
#include "incoming/mailbox_pass.h"

namespace kdv {
namespace {

// The first line of the server's last reply.
std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\r')); }

}  // namespace

void ConfigurePop3Client(TMailPOP3& client, std::unique_ptr<TMailSSLIOHandlerSocketOpenSSL>& tls,
                         const TPop3Settings& settings) {
    client.ConnectTimeout = 4000;
    client.ReadTimeout = settings.time_limit_ms;
    client.Username = settings.username;
    client.Password = settings.password;
    client.OAuth = settings.oauth.get();
    client.Port = settings.port;
    client.Host = settings.host;
    if (settings.ssl) {
        tls = std::make_unique<TMailSSLIOHandlerSocketOpenSSL>();
        tls->SSLOptions.SetSSLVersions(
            {TMailSSLVersion::sslvTLSv1, TMailSSLVersion::sslvTLSv1_1, TMailSSLVersion::sslvTLSv1_2});
        tls->SSLOptions.Mode = TMailSSLMode::sslmClient;
        ApplyCertificateSettings(tls->SSLOptions, settings.certificate);
        client.SetIOHandler(tls.get());
        client.SetUseTLS(TUseTLS::utUseImplicitTLS);
    }
}

TPop3Mailbox::TPop3Mailbox(TMailEmpfangContext& ctx, const TPop3Settings& settings)
    : ctx_(ctx), oauth_(settings.oauth) {
    ConfigurePop3Client(client_, tls_, settings);
}

bool TPop3Mailbox::Open(const TStopAnfrage& stop) {
    LogQuietly(ctx_, 7, "Prüfe Mails");
    WriteDebugStamp(ctx_, "Laststartcheckmail");
    client_.StopRequested = stop;
    client_.Connect(client_.Host);
    count_ = client_.CheckMessages();
    if (count_ > 0) LogQuietly(ctx_, 7, std::to_string(count_) + " e-Mails vorhanden.");
    return true;
}

std::optional<TMailboxIdentity> TPop3Mailbox::Identity() const {
    return TMailboxIdentity{"pop3", client_.Host, client_.Port, client_.Username};
}

std::string TPop3Mailbox::Name(std::size_t i) const { return "Nachricht " + std::to_string(Number(i)); }

std::string TPop3Mailbox::Key(std::size_t i) {
    const std::string uidl = client_.UIDL(Number(i));
    return uidl.empty() ? std::string() : "uidl:" + uidl;
}

std::optional<std::uint64_t> TPop3Mailbox::Size(std::size_t i) { return client_.RetrieveMsgSize(Number(i)); }

std::string TPop3Mailbox::SummaryHeader(std::size_t i) {
    std::string header;
    try {
        client_.Top(Number(i), header, kMaxSummaryHeaderBytes);
    } catch (const EDiraError&) {
        // Reported without sender and subject.
        header.clear();
    }
    return header;
}

bool TPop3Mailbox::Fetch(std::size_t i, TByteSink& sink, std::optional<std::uint64_t> size,
                         std::uint64_t max_bytes) {
    if (!client_.RetrieveRaw(Number(i), sink, size.value_or(0), max_bytes)) return false;
    LogQuietly(ctx_, 7, "Lese Nachricht " + std::to_string(Number(i)));
    return true;
}

std::string TPop3Mailbox::RefusalText() const { return FirstLine(client_.LastCmdResult.FormattedText()); }

TRemoval TPop3Mailbox::Remove(std::size_t i) {
    const int number = Number(i);
    LogQuietly(ctx_, 7, "Lösche Nachricht " + std::to_string(number));
    const bool deleted = client_.Delete(number);
    if (!deleted) LogQuietly(ctx_, 3, Name(i) + " kann nicht gelöscht werden: " + client_.LastCmdResult.FormattedText());
    LogQuietly(ctx_, 7, "Nachricht gelöscht: " + std::to_string(number));
    return deleted ? TRemoval::Marked : TRemoval::Refused;
}

bool TPop3Mailbox::Commit(std::size_t removed) {
    const bool confirmed = client_.Quit();
    if (!confirmed && removed > 0) {
        LogQuietly(ctx_, 3, "Der POP3-Server hat das Ende der Sitzung nicht bestätigt; " + std::to_string(removed) +
                         " abgelegte Mails bleiben im Postfach und werden im nächsten Durchgang nur gelöscht.");
    }
    WriteDebugStamp(ctx_, "Lastendcheckmail");
    LogQuietly(ctx_, 7, "Prüfung abgeschlossen.");
    return confirmed;
}

std::string TPop3Mailbox::GrewText(const EDiraError&) const { return "bei der Übertragung größer geworden"; }

TAfterLoss TPop3Mailbox::AfterLoss(const EDiraError&) {
    // A dialogue broken off in the middle cannot be ended with QUIT;
    // waiting for its reply would only cost the time limit once more.
    client_.Disconnect(false);
    return TAfterLoss::Commit;
}

void TPop3Mailbox::PassFailed(const std::string& reason, TErrorKind) {
    LogQuietly(ctx_, 3, std::string(kPop3PassError) + reason);
}

}  // namespace kdv
