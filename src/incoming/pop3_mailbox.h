#pragma once
// A POP3 mailbox as the pass sees it: the newest mail first, each keyed by
// its UIDL, removed by DELE and for good by a confirmed QUIT.
#include <cstdint>
#include <memory>
#include <string>

#include "clients/mail_pop3.h"
#include "incoming/mailbox.h"
#include "net/mail_ssl_io_handler.h"

namespace kdv {

// The connection to the POP3 server, read from [POP3], [Zertifikat] and
// [Verbindung] by the service.
struct TPop3Settings {
    std::string host;
    std::uint16_t port = 110;
    std::string username;
    std::string password;
    // Implicit TLS.
    bool ssl = false;
    TCertificateCheck certificate;
    int time_limit_ms = 60000;
    // Set: sign in with an OAuth 2.0 token from here instead of the password.
    std::shared_ptr<IOAuthTokenSource> oauth;
};

// What the log says before the reason when a POP3 pass fails as a whole.
inline constexpr const char* kPop3PassError = "Fehler bei Überprüfung des POP3-Postfachs: ";

// Sets the POP3 client up (host, port, login, time-outs) and, with `ssl`,
// makes `tls` and speaks implicit TLS through it.
void ConfigurePop3Client(TMailPOP3& client, std::unique_ptr<TMailSSLIOHandlerSocketOpenSSL>& tls,
                         const TPop3Settings& settings);

class TPop3Mailbox final : public IMailbox {
public:
    TPop3Mailbox(TMailEmpfangContext& ctx, const TPop3Settings& settings);

    bool Open(const TStopAnfrage& stop) override;
    std::optional<TMailboxIdentity> Identity() const override;
    std::size_t Count() const override { return static_cast<std::size_t>(count_); }
    std::string Name(std::size_t i) const override;
    std::string Key(std::size_t i) override;
    std::optional<std::uint64_t> Size(std::size_t i) override;
    std::string SummaryHeader(std::size_t i) override;
    bool Fetch(std::size_t i, TByteSink& sink, std::optional<std::uint64_t> size, std::uint64_t max_bytes) override;
    std::string RefusalText() const override;
    TRemoval Remove(std::size_t i) override;
    bool Connected() override { return client_.Connected(); }
    bool Commit(std::size_t removed) override;
    const char* ServerName() const override { return "POP3-Server"; }
    std::string GrewText(const EDiraError& error) const override;
    TAfterLoss AfterLoss(const EDiraError& error) override;
    void PassFailed(const std::string& reason, TErrorKind kind) override;

private:
    // The mails go newest first: POP3 numbers them from 1 upwards.
    int Number(std::size_t i) const { return count_ - static_cast<int>(i); }

    TMailEmpfangContext& ctx_;
    std::shared_ptr<IOAuthTokenSource> oauth_;
    std::unique_ptr<TMailSSLIOHandlerSocketOpenSSL> tls_;
    TMailPOP3 client_;
    int count_ = 0;
};

}  // namespace kdv
