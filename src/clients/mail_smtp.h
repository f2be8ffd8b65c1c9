#pragma once
// The SMTP client: one session greets the server, switches to TLS when
// asked, logs in, and hands over messages. The service uses one session per
// message and ends it by freeing the transport (no QUIT). Connect,
// Authenticate and Send raise EMailSMTPError (or EMailSMTPReplyError for a
// refused command), which tells the stage the session had reached.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "clients/sasl_oauth.h"
#include "clients/smtp_reply.h"
#include "net/mail_tls_client.h"

namespace kdv {

class TMailMessage;

enum class TSMTPAuthType {
    satNone,     // never log in
    satDefault,  // AUTH LOGIN, or AUTH PLAIN when the server offers only that
};

inline constexpr std::uint16_t kSmtpPort = 25;
inline constexpr std::uint16_t kSmtpsPort = 465;
inline constexpr std::uint16_t kSmtpSubmissionPort = 587;

inline constexpr const char* kNoAuthMechanism =
    "Der Mailserver bietet keine unterstützte Anmeldemethode (LOGIN oder PLAIN) an.";

// A recipient the server refused, with the server's reply.
struct TSMTPRefusedRecipient {
    std::string Address;
    TMailReplySMTP Reply;
};

// What Send reports: the recipients the server refused (the message went to
// all others).
struct TSMTPSendResult {
    std::vector<TSMTPRefusedRecipient> Refused;
};

class TMailSMTP : public TMailExplicitTLSClient {
public:
    TMailSMTP();
    ~TMailSMTP() override;

    // Sent as UTF-8 bytes, as they stand.
    std::string Username;
    std::string Password;
    TSMTPAuthType AuthType = TSMTPAuthType::satDefault;
    // Set: the login is OAuth 2.0 with a token from this source (OAUTHBEARER
    // or XOAUTH2, as offered) instead of the password. Not owned.
    IOAuthTokenSource* OAuth = nullptr;
    // Log in with LOGIN (or PLAIN) only when the server lists it.
    bool ValidateAuthLoginCapability = true;
    // Greet with EHLO; HELO only when EHLO is refused.
    bool UseEhlo = true;
    // Name given with EHLO/HELO; empty: this machine's host name.
    std::string HeloName;
    // Value of "X-Mailer"; empty: no such header.
    std::string MailAgent;
    // The port that speaks TLS from the first byte (SMTPS); a setting only so
    // that tests can serve it on a free port.
    std::uint16_t SmtpsPort = kSmtpsPort;
    // The text of the server's greeting (its first line) from the last Connect.
    std::string Greeting;
    // The lines of the last EHLO reply after its first one.
    std::vector<std::string> Capabilities;

    bool DidAuthenticate() const { return did_authenticate_; }
    // After Send: every recipient the server refused, also when Send raised.
    const std::vector<TSMTPRefusedRecipient>& RefusedRecipients() const { return refused_; }
    const TMailReplySMTP& LastCmdResult() const { return last_reply_; }

    // As the base, and a TLS mode that starts TLS later (STARTTLS) also
    // turns EHLO on: without it the server cannot offer STARTTLS.
    void SetUseTLS(TUseTLS value);

    // Opens the connection and greets. SmtpsPort with a TLS transport and a
    // TLS mode speaks TLS from the first byte (SMTPS). Raises the server's
    // reply text when the greeting is not 220 or EHLO and HELO are refused;
    // the connection is then closed without QUIT.
    void Connect();
    void Connect(const std::string& host);

    // STARTTLS when due, then the login. Returns whether the session is
    // logged in: false without a user name, and false when the server
    // offers no AUTH at all (a relay that admits by address; the transfer
    // may go on without login). Raises kNoAuthMechanism (ekAuthentication)
    // when the server offers AUTH but neither LOGIN nor PLAIN, and the
    // server's reply text (ekAuthentication, with its code) when it refuses
    // the credentials. With OAuth: raises NoOAuthOfferedText when the server
    // offers neither mechanism, the token source's error when no token can
    // be had, and kOAuthRefused with the server's reply and the content of
    // its error challenge when it refuses a token and a renewed one; no
    // text holds the token.
    bool Authenticate();

    // Hands the message to the server for every recipient (To, Cc, Bcc).
    // Refused recipients are collected and reported; the message goes to the
    // accepted ones. Raises the last refusal when every recipient is refused
    // (stage ssRcptTo), and the server's reply text when MAIL FROM, DATA or
    // the end of data is refused (after RSET). Any other failure closes the
    // connection.
    TSMTPSendResult Send(TMailMessage& message);

    // Writes the line and reads the reply into LastCmdResult. Raises
    // EMailSMTPReplyError (with the stage the session is in) when its code
    // is not among `accepted` (empty: every code is accepted). Returns the
    // code.
    int SendCmd(const std::string& line, std::initializer_list<int> accepted = {});

    // With `notify_peer`: "QUIT", expecting 221, then the close.
    void Disconnect(bool notify_peer = true);

protected:
    void SendFarewell() override;

private:
    TMailReplySMTP ReadReply();
    int SendCmdAs(const std::string& line, std::initializer_list<int> accepted, TErrorKind kind);
    template <typename TStep>
    auto AtStage(TStep&& step) -> decltype(step());
    void ConnectSteps();
    bool AuthenticateSteps();
    TSMTPSendResult SendSteps(TMailMessage& message);
    void Greet();
    void StartTlsStep();
    void LoginWithLogin();
    void LoginWithPlain();
    void LoginWithOAuth(const std::vector<std::string>& mechanisms);
    // One AUTH exchange with `token`: true when the server took it; else
    // `refusal` describes the refusal.
    bool TryOAuth(TOAuthMechanism mechanism, const std::string& token, std::string& refusal);
    std::vector<std::string> AuthMechanisms() const;
    bool HasCapability(std::string_view name) const;

    bool did_authenticate_ = false;
    TMailReplySMTP last_reply_;
    // Where the session is: the stage a failure is raised with.
    TSMTPStage stage_ = TSMTPStage::ssConnect;
    std::vector<TSMTPRefusedRecipient> refused_;
};

}  // namespace kdv
