#include "clients/mail_smtp.h"

#include <algorithm>
#include <optional>

#include "mail/byte_sink.h"
#include "mail/mail_address.h"
#include "mail/mail_message.h"
#include "mail/mail_text_util.h"
#include "mail/mime_encoders.h"
#include "mail/mime_writer.h"
#include "platform/ascii_text.h"
#include "platform/host_name.h"
#include "platform/secret_mask.h"

namespace kdv {
namespace {

using mailtext::TrimBlanks;

// The message text goes into the connection while it is written, in blocks:
// the writer hands over a line or less at a time, and each write to a TLS
// connection costs a record and a system call of its own.
class TConnectionSink final : public TByteSink {
public:
    static constexpr std::size_t kBlock = 16 * 1024;

    explicit TConnectionSink(TMailLineIO& io) : io_(io) { buffer_.reserve(kBlock); }
    void Write(std::string_view bytes) override {
        if (buffer_.size() + bytes.size() > kBlock) Flush();
        if (bytes.size() >= kBlock) {
            io_.Write(bytes);
            return;
        }
        buffer_.append(bytes);
    }
    // Sends what is held, with `tail` after it in the same write.
    void Flush(std::string_view tail = {}) {
        buffer_.append(tail);
        if (!buffer_.empty()) io_.Write(buffer_);
        buffer_.clear();
    }

private:
    TMailLineIO& io_;
    std::string buffer_;
};

std::string Base64(std::string_view bytes) { return Base64Line(bytes); }

// RFC 4954 lets an AUTH line with its initial response run to 12288
// bytes; a longer token goes after the server's 334 instead.
constexpr std::size_t kMaxAuthLine = 12288;

// The reply's lines on one line.
std::string ReplyLine(const TMailReplySMTP& reply) {
    std::string text;
    for (const std::string& line : reply.Text) text += (text.empty() ? "" : " ") + line;
    if (reply.EnhancedCode.Available) text = reply.EnhancedCode.Text() + " " + text;
    return std::to_string(reply.Code) + " " + text;
}

bool Accepted(int code, std::initializer_list<int> accepted) {
    return accepted.size() == 0 || std::find(accepted.begin(), accepted.end(), code) != accepted.end();
}

}  // namespace

TMailSMTP::TMailSMTP() : TMailExplicitTLSClient(kSmtpPort, kSmtpsPort, kSmtpSubmissionPort) {}

TMailSMTP::~TMailSMTP() = default;

void TMailSMTP::SetUseTLS(TUseTLS value) {
    TMailExplicitTLSClient::SetUseTLS(value);
    if (value == TUseTLS::utUseRequireTLS || value == TUseTLS::utUseExplicitTLS) UseEhlo = true;
}

void TMailSMTP::Connect(const std::string& host) {
    Host = host;
    Connect();
}

// A failure of the layers below (connection, TLS, reply parser) is raised
// again as an SMTP error of the stage the session had reached.
template <typename TStep>
auto TMailSMTP::AtStage(TStep&& step) -> decltype(step()) {
    try {
        return step();
    } catch (const EMailSMTPError&) {
        throw;
    } catch (const EDiraError& e) {
        throw EMailSMTPError(stage_, e.ErrorKind(), e.what(), e.ReplyCode());
    }
}

void TMailSMTP::Connect() {
    AtStage([this] { ConnectSteps(); });
}

void TMailSMTP::ConnectSteps() {
    did_authenticate_ = false;
    Greeting.clear();
    Capabilities.clear();
    stage_ = TSMTPStage::ssConnect;
    TMailExplicitTLSClient::Connect();
    try {
        // SMTPS never greets in plain text: TLS comes first there, whatever
        // the TLS mode says about STARTTLS.
        if (Port == SmtpsPort && StartTlsDue()) TLSHandshake();
        stage_ = TSMTPStage::ssGreeting;
        last_reply_ = ReadReply();
        if (last_reply_.Code != 220) throw EMailSMTPReplyError(last_reply_, stage_);
        Greeting = last_reply_.Text.empty() ? std::string() : last_reply_.Text.front();
        Greet();
    } catch (...) {
        Disconnect(false);
        throw;
    }
}

void TMailSMTP::Greet() {
    stage_ = TSMTPStage::ssEhlo;
    Capabilities.clear();
    const std::string name = HeloName.empty() ? LocalHostName() : HeloName;
    if (UseEhlo && SendCmd("EHLO " + name) == 250) {
        Capabilities.assign(last_reply_.Text.begin() + (last_reply_.Text.empty() ? 0 : 1), last_reply_.Text.end());
        return;
    }
    SendCmd("HELO " + name, {250});
}

bool TMailSMTP::HasCapability(std::string_view name) const {
    return std::any_of(Capabilities.begin(), Capabilities.end(),
                       [&](const std::string& line) { return EqualsNoCase(TrimBlanks(line), name); });
}

std::vector<std::string> TMailSMTP::AuthMechanisms() const {
    std::vector<std::string> mechanisms;
    for (const auto& capability : Capabilities) {
        const std::string_view line = TrimBlanks(capability);
        if (line.size() < 5 || !StartsWithNoCase(line, "AUTH") || (line[4] != ' ' && line[4] != '=')) {
            continue;
        }
        std::string word;
        for (char c : line.substr(4)) {
            if (c == ' ' || c == '=' || c == '\t') {
                if (!word.empty()) mechanisms.push_back(std::move(word));
                word.clear();
            } else {
                word += UpperAscii(c);
            }
        }
        if (!word.empty()) mechanisms.push_back(std::move(word));
    }
    return mechanisms;
}

void TMailSMTP::StartTlsStep() {
    stage_ = TSMTPStage::ssStartTls;
    try {
        if (HasCapability("STARTTLS")) {
            if (SendCmd("STARTTLS") != 220) TLSCommandRefused(true);
            TLSHandshake();
            Greet();  // the capabilities may differ under TLS (AUTH often appears only now)
        } else {
            ProcessTLSNotAvailable(true);
        }
    } catch (...) {
        Disconnect(false);
        throw;
    }
}

bool TMailSMTP::Authenticate() {
    return AtStage([this] { return AuthenticateSteps(); });
}

bool TMailSMTP::AuthenticateSteps() {
    if (did_authenticate_) return true;
    if (StartTlsDue()) StartTlsStep();
    stage_ = TSMTPStage::ssAuth;
    if (AuthType == TSMTPAuthType::satNone) {
        did_authenticate_ = true;
        return true;
    }
    const std::vector<std::string> mechanisms = AuthMechanisms();
    if (OAuth != nullptr) {
        LoginWithOAuth(mechanisms);
        did_authenticate_ = true;
        return true;
    }
    if (Username.empty()) return false;
    // A relay that admits by address offers no AUTH at all; the transfer
    // is tried without login, and a server that wants one refuses it.
    if (ValidateAuthLoginCapability && mechanisms.empty()) return false;
    const auto offered = [&](const char* name) {
        return std::find(mechanisms.begin(), mechanisms.end(), name) != mechanisms.end();
    };
    if (!ValidateAuthLoginCapability || offered("LOGIN")) {
        LoginWithLogin();
    } else if (offered("PLAIN")) {
        LoginWithPlain();
    } else {
        // The server does log users in, only not in a way this client
        // speaks: unauthenticated, every mail would be refused.
        throw EMailSMTPError(stage_, TErrorKind::ekAuthentication, kNoAuthMechanism);
    }
    did_authenticate_ = true;
    return true;
}

void TMailSMTP::LoginWithLogin() {
    constexpr TErrorKind kAuth = TErrorKind::ekAuthentication;
    SendCmdAs("AUTH LOGIN", {334}, kAuth);
    // Some servers take the user name alone and answer 235 at once.
    if (SendCmdAs(Base64(Username), {235, 334}, kAuth) == 334) SendCmdAs(Base64(Password), {235}, kAuth);
}

void TMailSMTP::LoginWithPlain() {
    std::string credentials;
    credentials += '\0';
    credentials += Username;
    credentials += '\0';
    credentials += Password;
    SendCmdAs("AUTH PLAIN " + Base64(credentials), {235}, TErrorKind::ekAuthentication);
}

void TMailSMTP::LoginWithOAuth(const std::vector<std::string>& mechanisms) {
    const std::optional<TOAuthMechanism> mechanism = ChooseOAuthMechanism(mechanisms);
    // Without it the server would refuse every mail: a clear stop here,
    // not an unauthenticated transfer.
    if (!mechanism) throw EMailSMTPError(stage_, TErrorKind::ekAuthentication, NoOAuthOfferedText("Der SMTP-Server"));
    std::string refusal;
    const auto attempt = [&](const std::string& token) { return TryOAuth(*mechanism, token, refusal); };
    if (SignInWithOneRenewal(*OAuth, attempt)) return;
    throw EMailSMTPError(stage_, TErrorKind::ekAuthentication, refusal, last_reply_.Code, last_reply_.EnhancedCode);
}

bool TMailSMTP::TryOAuth(TOAuthMechanism mechanism, const std::string& token, std::string& refusal) {
    const std::string command = std::string("AUTH ") + OAuthMechanismName(mechanism);
    const std::string response = Base64(OAuthInitialResponse(mechanism, Username, token, Host, Port));
    std::string challenge;
    try {
        int code = command.size() + 1 + response.size() <= kMaxAuthLine ? SendCmd(command + " " + response)
                                                                         : SendCmd(command);
        if (code == 334 && command.size() + 1 + response.size() > kMaxAuthLine) code = SendCmd(response);
        if (code == 334) {
            // The error challenge: its JSON says why; the answer lets the
            // server end the exchange with its refusal.
            challenge = DescribeOAuthErrorChallenge(last_reply_.Text.empty() ? "" : last_reply_.Text.front());
            code = SendCmd(OAuthErrorChallengeAnswer(mechanism));
        }
        if (code == 235) return true;
        refusal = MaskSecrets(kOAuthRefused + ReplyLine(last_reply_) + (challenge.empty() ? "" : " (" + challenge + ")"),
                              {token, response});
        // A temporary failure of the server is no verdict on the token.
        if (code < 500) throw EMailSMTPError(stage_, TErrorKind::ekAuthentication, refusal, code, last_reply_.EnhancedCode);
        return false;
    } catch (const EMailSMTPError&) {
        throw;
    } catch (const EDiraError& e) {
        throw EMailSMTPError(stage_, e.ErrorKind(), MaskSecrets(e.what(), {token, response}), e.ReplyCode());
    }
}

TSMTPSendResult TMailSMTP::Send(TMailMessage& message) {
    return AtStage([&] { return SendSteps(message); });
}

TSMTPSendResult TMailSMTP::SendSteps(TMailMessage& message) {
    std::vector<std::string> recipients;
    for (const TMailEMailAddressList* list : {&message.Recipients, &message.CCList, &message.BccList}) {
        for (std::size_t i = 0; i < list->Count(); ++i) {
            const std::string_view address = TrimBlanks((*list)[i].Address);
            if (!address.empty()) recipients.emplace_back(address);
        }
    }
    std::string sender(TrimBlanks(message.Sender.Address));
    if (sender.empty() && !message.FromList.Empty()) sender = TrimBlanks(message.FromList[0].Address);

    AuthenticateSteps();
    message.ExtraHeaders.SetValue("X-Mailer", MailAgent);

    TSMTPSendResult result;
    refused_.clear();
    try {
        stage_ = TSMTPStage::ssMailFrom;
        SendCmd("MAIL FROM:<" + sender + ">", {250});
        stage_ = TSMTPStage::ssRcptTo;
        std::optional<EMailSMTPReplyError> last_refusal;
        std::size_t accepted = 0;
        for (const auto& recipient : recipients) {
            try {
                SendCmd("RCPT TO:<" + recipient + ">", {250, 251});
                ++accepted;
            } catch (const EMailSMTPReplyError& refusal) {
                result.Refused.push_back({recipient, last_reply_});
                refused_.push_back({recipient, last_reply_});
                last_refusal = refusal;
            }
        }
        if (accepted == 0 && last_refusal) throw *last_refusal;
        stage_ = TSMTPStage::ssData;
        SendCmd("DATA", {354});
        TConnectionSink sink(IO());
        TMailMessageWriter writer(sink, true);
        writer.SendMsg(message);
        // The end mark travels with the last block.
        sink.Flush(".\r\n");
        last_reply_ = ReadReply();
        if (last_reply_.Code != 250) throw EMailSMTPReplyError(last_reply_, stage_);
    } catch (const EMailSMTPReplyError&) {
        // The server is still listening: leave it ready for the next message.
        try {
            SendCmd("RSET");
        } catch (const EDiraError&) {
            // The refusal is what counts; a failing RSET adds nothing.
        }
        throw;
    } catch (...) {
        Disconnect(false);
        throw;
    }
    return result;
}

TMailReplySMTP TMailSMTP::ReadReply() {
    // The lines of one reply are due together, however they trickle in.
    TDeadlineScope whole_reply(IO().Transport(), IO().Transport().ReadLimit());
    TSmtpReplyParser parser;
    while (!parser.AddLine(IO().ReadLn())) {
    }
    return parser.Take();
}

int TMailSMTP::SendCmdAs(const std::string& line, std::initializer_list<int> accepted, TErrorKind kind) {
    IO().WriteLn(line);
    last_reply_ = ReadReply();
    if (!Accepted(last_reply_.Code, accepted)) throw EMailSMTPReplyError(last_reply_, stage_, kind);
    return last_reply_.Code;
}

int TMailSMTP::SendCmd(const std::string& line, std::initializer_list<int> accepted) {
    return SendCmdAs(line, accepted, TErrorKind::ekReply);
}

void TMailSMTP::SendFarewell() { SendCmd("QUIT", {221}); }

void TMailSMTP::Disconnect(bool notify_peer) {
    TMailExplicitTLSClient::Disconnect(notify_peer);
    did_authenticate_ = false;
}

}  // namespace kdv
