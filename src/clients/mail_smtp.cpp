#include "clients/mail_smtp.h"

#include <algorithm>
#include <optional>
#include <random>

#include "mail/byte_sink.h"
#include "mail/mail_address.h"
#include "mail/mail_message.h"
#include "mail/mail_text_util.h"
#include "mail/mime_encoders.h"
#include "mail/mime_writer.h"
#include "platform/host_name.h"

namespace kdv {
namespace {

using mailtext::EqualsNoCase;
using mailtext::TrimBlanks;

// The message text goes straight into the connection while it is written.
class TConnectionSink final : public TByteSink {
public:
    explicit TConnectionSink(TMailLineIO& io) : io_(io) {}
    void Write(std::string_view bytes) override { io_.Write(bytes); }

private:
    TMailLineIO& io_;
};

std::string Base64(std::string_view bytes) {
    TBase64Encoder encoder;
    std::string lines;
    encoder.Step(bytes, lines);
    encoder.Finish(lines);
    std::string out;
    for (char c : lines) {
        if (c != '\r' && c != '\n') out += c;
    }
    return out;
}

bool Accepted(int code, std::initializer_list<int> accepted) {
    return accepted.size() == 0 || std::find(accepted.begin(), accepted.end(), code) != accepted.end();
}

// Characters of a domain that can stand in a Message-ID as they are.
bool IsDomainText(std::string_view domain) {
    if (domain.empty() || domain.front() == '.' || domain.back() == '.') return false;
    return std::all_of(domain.begin(), domain.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
               c == '.' || c == '_';
    });
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

void TMailSMTP::Connect() {
    did_authenticate_ = false;
    Greeting.clear();
    Capabilities.clear();
    TMailExplicitTLSClient::Connect();
    try {
        // SMTPS never greets in plain text: TLS comes first there, whatever
        // the TLS mode says about STARTTLS.
        if (Port == SmtpsPort && StartTlsDue()) TLSHandshake();
        last_reply_ = ReadReply();
        if (last_reply_.Code != 220) throw EMailSMTPReplyError(last_reply_);
        Greeting = last_reply_.Text.empty() ? std::string() : last_reply_.Text.front();
        Greet();
    } catch (...) {
        Disconnect(false);
        throw;
    }
}

void TMailSMTP::Greet() {
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
        if (line.size() < 5 || !mailtext::StartsWithNoCase(line, "AUTH") || (line[4] != ' ' && line[4] != '=')) {
            continue;
        }
        std::string word;
        for (char c : line.substr(4)) {
            if (c == ' ' || c == '=' || c == '\t') {
                if (!word.empty()) mechanisms.push_back(std::move(word));
                word.clear();
            } else {
                word += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
            }
        }
        if (!word.empty()) mechanisms.push_back(std::move(word));
    }
    return mechanisms;
}

void TMailSMTP::StartTlsStep() {
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
    if (did_authenticate_) return true;
    if (StartTlsDue()) StartTlsStep();
    if (AuthType == TSMTPAuthType::satNone) {
        did_authenticate_ = true;
        return true;
    }
    if (Username.empty()) return false;
    const std::vector<std::string> mechanisms = AuthMechanisms();
    const auto offered = [&](const char* name) {
        return std::find(mechanisms.begin(), mechanisms.end(), name) != mechanisms.end();
    };
    if (!ValidateAuthLoginCapability || offered("LOGIN")) {
        LoginWithLogin();
    } else if (offered("PLAIN")) {
        LoginWithPlain();
    } else {
        // Going on unauthenticated would only end in a refused MAIL FROM
        // whose text does not say that the login never happened.
        throw EDiraError(TErrorKind::ekAuthentication, kNoAuthMechanism);
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

TSMTPSendResult TMailSMTP::Send(TMailMessage& message) {
    std::vector<std::string> recipients;
    for (const TMailEMailAddressList* list : {&message.Recipients, &message.CCList, &message.BccList}) {
        for (std::size_t i = 0; i < list->Count(); ++i) {
            const std::string_view address = TrimBlanks((*list)[i].Address);
            if (!address.empty()) recipients.emplace_back(address);
        }
    }
    std::string sender(TrimBlanks(message.Sender.Address));
    if (sender.empty() && !message.FromList.Empty()) sender = TrimBlanks(message.FromList[0].Address);

    Authenticate();
    message.ExtraHeaders.SetValue("X-Mailer", MailAgent);

    TSMTPSendResult result;
    refused_step_ = TSMTPSendStep::ssNone;
    refused_.clear();
    TSMTPSendStep step = TSMTPSendStep::ssMailFrom;
    try {
        SendCmd("MAIL FROM:<" + sender + ">", {250});
        step = TSMTPSendStep::ssRcptTo;
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
        step = TSMTPSendStep::ssData;
        SendCmd("DATA", {354});
        TConnectionSink sink(IO());
        TMailMessageWriter writer(sink, true);
        writer.SendMsg(message);
        SendCmd(".", {250});
    } catch (const EMailSMTPReplyError&) {
        refused_step_ = step;
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
    TSmtpReplyParser parser;
    while (!parser.AddLine(IO().ReadLn())) {
    }
    return parser.Take();
}

int TMailSMTP::SendCmdAs(const std::string& line, std::initializer_list<int> accepted, TErrorKind kind) {
    IO().WriteLn(line);
    last_reply_ = ReadReply();
    if (!Accepted(last_reply_.Code, accepted)) throw EMailSMTPReplyError(last_reply_, kind);
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

std::string NewJournalMessageId(std::string_view journal_id, std::string_view sender_address) {
    // 16 characters of 36 kinds: about 82 random bits, so two messages never
    // share an ID even when the journal is rebuilt and its IDs start again.
    constexpr std::size_t kRandomLength = 16;
    static constexpr char kChars[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    thread_local std::mt19937_64 random{std::random_device{}()};
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kChars - 2);
    std::string id = "<";
    for (std::size_t i = 0; i < kRandomLength; ++i) id += kChars[pick(random)];
    TMailEMailAddressItem sender;
    sender.SetText(sender_address);
    std::string domain = sender.Domain();
    if (!IsDomainText(domain)) domain = LocalHostName();
    id += ".";
    id += journal_id;
    id += "@" + domain + ">";
    return id;
}

}  // namespace kdv
