#pragma once
// The POP3 client: greeting, capability list, USER/PASS login, mailbox count,
// retrieval of one mail (into a message, or as raw bytes into a sink as it
// arrives), deletion marks, unique ids and QUIT. One command, one reply.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "clients/sasl_oauth.h"
#include "net/mail_tls_client.h"
#include "platform/dira_error.h"

namespace kdv {

class TMailMessage;
class TByteSink;

enum class TPOP3AuthType { patUserPass, patAPOP, patSASL };

// One reply line, parsed.
class TMailReplyPOP3 {
public:
    // "+OK", "-ERR" or "+".
    std::string Code;
    // Each reply line without its code and the one character after it.
    std::vector<std::string> Text;
    // A response code in brackets that starts the text of a "-ERR" reply
    // ("[AUTH]", "[IN-USE]", ...), as written; removed from the text.
    std::string EnhancedCode;

    void Parse(const std::vector<std::string>& lines);
    // The text lines, each followed by CR LF.
    std::string FormattedText() const;
};

class EMailReplyPOP3Error : public EDiraError {
public:
    EMailReplyPOP3Error(TErrorKind kind, const TMailReplyPOP3& reply)
        : EDiraError(kind, reply.FormattedText()), Code(reply.Code), EnhancedCode(reply.EnhancedCode) {}
    std::string Code;
    std::string EnhancedCode;
};

class TMailPOP3 : public TMailExplicitTLSClient {
public:
    // Most lines of a multi-line reply other than a mail (CAPA): a real
    // server lists a dozen.
    static constexpr std::size_t kMaxDataLines = 1000;

    TMailPOP3();
    ~TMailPOP3() override;

    std::string Username;
    std::string Password;
    TPOP3AuthType AuthType = TPOP3AuthType::patUserPass;
    // Set: the login is AUTH with an OAuth 2.0 token from this source
    // (OAUTHBEARER or XOAUTH2, as the CAPA line SASL offers) instead of
    // USER and PASS. Not owned.
    IOAuthTokenSource* OAuth = nullptr;
    bool AutoLogin = true;
    std::vector<std::string> Capabilities;
    bool HasCAPA = false;
    bool HasAPOP = false;
    std::string APOPToken;
    TMailReplyPOP3 LastCmdResult;

    // Connects, reads the greeting, asks for the capabilities and (with
    // AutoLogin) logs in. Any failure closes the connection without QUIT.
    void Connect(const std::string& host);
    void Connect();
    // STLS when due, then USER/PASS or (with OAuth) AUTH. A refusal raises
    // ekAuthentication (with OAuth: kOAuthRefused, the server's text and the
    // content of its error challenge, after one retry with a renewed token;
    // NoOAuthOfferedText when neither mechanism is offered); no text holds
    // the token.
    void Login();

    // Writes `command`, reads the one-line reply. With `expected` set, a
    // reply of another code raises EMailReplyPOP3Error of `kind`.
    std::string SendCmd(const std::string& command, const std::string& expected = "",
                        TErrorKind kind = TErrorKind::ekReply);

    // STAT: the number of mails; raises when refused.
    int CheckMessages();
    // RETR into the message through the MIME reader; false (message
    // untouched) when the server refused.
    bool Retrieve(int number, TMailMessage& message);
    // RETR with the mail's raw text, dot-stuffing undone and every line ended
    // by CR LF, written to `sink` line by line as it arrives. False when the
    // server refused (nothing written). A connection lost before the "."
    // line raises: the mail is incomplete. The transfer is due within the
    // time TransferTimeLimit grants `announced_size` (or, unknown,
    // `max_bytes`); beyond `max_bytes` (0: no limit) it is broken off, the
    // connection closed and EDiraError of kind ekTooLarge raised.
    bool RetrieveRaw(int number, TByteSink& sink, std::uint64_t announced_size = 0, std::uint64_t max_bytes = 0);
    // TOP <n> 0: the mail's header lines, each ended by CR LF. False when
    // refused; more than `max_bytes` closes the connection and raises
    // (ekTooLarge).
    bool Top(int number, std::string& header, std::size_t max_bytes);
    // DELE; true on "+OK".
    bool Delete(int number);
    // UIDL for one mail; empty when the server has no UIDL or refused.
    std::string UIDL(int number);
    // LIST for one mail: its size in bytes, or nothing when refused.
    std::optional<std::uint64_t> RetrieveMsgSize(int number);
    bool KeepAlive();
    bool Reset();

    // QUIT, then close. True when the server confirmed the QUIT: only then
    // has it removed the marked mails. Never raises.
    bool Quit();

protected:
    void SendFarewell() override;

private:
    std::string ReadReply();
    void AuthenticateWithOAuth();
    bool TryOAuth(TOAuthMechanism mechanism, const std::string& token, std::string& refusal);
    // Data lines up to ".", undotted.
    std::vector<std::string> ReadDataLines();
};

}  // namespace kdv
