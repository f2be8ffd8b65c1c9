#include "outgoing/send_outcome.h"

#include "clients/smtp_reply.h"
#include "platform/dira_error.h"

namespace kdv {

namespace {

bool Transient(int code) { return code >= 400 && code < 500; }

}  // namespace

bool IsServerFaultReply(int code, const TMailEnhancedStatus& enhanced) {
    if (code == 421 || code == 530) return true;
    return enhanced.Available && enhanced.StatusClass == 5 && enhanced.Subject == 7;
}

TSendOutcome ClassifySendFailure(const std::exception& error, TSMTPSendStep step,
                                 const std::vector<TSMTPRefusedRecipient>& refused) {
    if (const auto* reply = dynamic_cast<const EMailSMTPReplyError*>(&error)) {
        if (IsServerFaultReply(reply->ReplyCode(), reply->EnhancedCode())) return TSendOutcome::soServerUnusable;
        switch (step) {
            case TSMTPSendStep::ssRcptTo: {
                bool anyTransient = false;
                for (const TSMTPRefusedRecipient& r : refused) {
                    if (IsServerFaultReply(r.Reply.Code, r.Reply.EnhancedCode)) return TSendOutcome::soServerUnusable;
                    if (Transient(r.Reply.Code)) anyTransient = true;
                }
                if (refused.empty()) anyTransient = Transient(reply->ReplyCode());
                return anyTransient ? TSendOutcome::soNotNow : TSendOutcome::soFailedForGood;
            }
            case TSMTPSendStep::ssData:
                return Transient(reply->ReplyCode()) ? TSendOutcome::soNotNow : TSendOutcome::soFailedForGood;
            case TSMTPSendStep::ssMailFrom:
            case TSMTPSendStep::ssNone:
                return TSendOutcome::soServerUnusable;
        }
    }
    if (const auto* dira = dynamic_cast<const EDiraError*>(&error)) {
        // An attachment that could not be read while the mail was written.
        if (dira->ErrorKind() == TErrorKind::ekLocal) return TSendOutcome::soNotNow;
    }
    return TSendOutcome::soServerUnusable;
}

}  // namespace kdv
