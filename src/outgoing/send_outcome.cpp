#include "outgoing/send_outcome.h"

#include "platform/dira_error.h"

namespace kdv {

namespace {

constexpr int kServiceClosing = 421;
constexpr int kAuthenticationRequired = 530;
constexpr int kSizeExceeded = 552;

bool Transient(int code) { return code >= 400 && code < 500; }

// A reply that is about this row alone: 4xx may pass, anything else will not.
TSendOutcome RowOutcome(int code) { return Transient(code) ? TSendOutcome::soNotNow : TSendOutcome::soFailedForGood; }

bool RefusesSize(int code, const TMailEnhancedStatus& enhanced) {
    return code == kSizeExceeded || (enhanced.Available && enhanced.Subject == 3 && enhanced.Detail == 4);
}

// The replies that say the server is at fault, whatever the command.
bool ServerWide(int code) { return code == kServiceClosing || code == kAuthenticationRequired; }

bool InTransfer(TSMTPStage stage) { return stage == TSMTPStage::ssRcptTo || stage == TSMTPStage::ssData; }

TSendOutcome ServerUnusable(TSMTPStage stage, int code) {
    // 530 is a login that is missing, never something of the row's.
    if (code != kAuthenticationRequired && InTransfer(stage)) return TSendOutcome::soServerUnusableInTransfer;
    return TSendOutcome::soServerUnusable;
}

}  // namespace

TSendOutcome ClassifySendFailure(const EMailSMTPError& error, const std::vector<TSMTPRefusedRecipient>& refused) {
    // An attachment that could not be read while the mail was written.
    if (error.ErrorKind() == TErrorKind::ekLocal) return TSendOutcome::soNotNow;
    const TSMTPStage stage = error.Stage();
    const int code = error.ReplyCode();
    if (code == 0) return ServerUnusable(stage, 0);
    if (ServerWide(code)) return ServerUnusable(stage, code);
    switch (stage) {
        case TSMTPStage::ssMailFrom:
            return RefusesSize(code, error.EnhancedCode()) ? RowOutcome(code) : TSendOutcome::soServerUnusable;
        case TSMTPStage::ssRcptTo: {
            if (refused.empty()) return RowOutcome(code);
            bool any_transient = false;
            for (const TSMTPRefusedRecipient& r : refused) {
                if (ServerWide(r.Reply.Code)) return ServerUnusable(stage, r.Reply.Code);
                if (Transient(r.Reply.Code)) any_transient = true;
            }
            return any_transient ? TSendOutcome::soNotNow : TSendOutcome::soFailedForGood;
        }
        case TSMTPStage::ssData:
            return RowOutcome(code);
        default:
            return TSendOutcome::soServerUnusable;
    }
}

std::string SmtpStartFailureText(const EDiraError& error, TSMTPStage stage) {
    const std::string message = error.what();
    if (error.ErrorKind() == TErrorKind::ekAuthentication) return message;
    const bool login = stage == TSMTPStage::ssAuth;
    std::string cause;
    switch (error.ErrorKind()) {
        case TErrorKind::ekRefused:
            cause = "keine Verbindung zum Mailserver";
            break;
        case TErrorKind::ekPeerClosed:
            cause = "Verbindung zum Mailserver verloren";
            break;
        case TErrorKind::ekTimeout:
            cause = "keine Antwort des Mailservers in der Zeit";
            break;
        case TErrorKind::ekTls:
            cause = "TLS mit dem Mailserver fehlgeschlagen";
            break;
        case TErrorKind::ekReply:
            if (login) return message;
            cause = "der Mailserver hat die Sitzung abgewiesen";
            break;
        default:
            return message;
    }
    cause += login ? " während der Anmeldung" : ", noch vor der Anmeldung";
    // A server's reply ends with its line break; the cause belongs on its line.
    const std::size_t end = message.find_last_not_of("\r\n");
    return message.substr(0, end == std::string::npos ? 0 : end + 1) + " (" + cause + ")";
}

}  // namespace kdv
