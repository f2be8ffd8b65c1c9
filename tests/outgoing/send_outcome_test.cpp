// What becomes of a row whose mail failed, decided on the error's kind, the
// refused step and the refused recipients.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "clients/smtp_reply.h"
#include "outgoing/send_outcome.h"

namespace kdv {
namespace {

TMailReplySMTP Reply(int code, const char* enhanced = nullptr) {
    TMailReplySMTP reply;
    reply.Code = code;
    reply.Text = {"Antwort"};
    if (enhanced != nullptr) {
        reply.EnhancedCode.Available = true;
        std::sscanf(enhanced, "%d.%d.%d", &reply.EnhancedCode.StatusClass, &reply.EnhancedCode.Subject,
                    &reply.EnhancedCode.Detail);
    }
    return reply;
}

struct TOutcomeCase {
    const char* name;
    TSMTPSendStep step;
    TMailReplySMTP raised;                  // the reply Send raised (code 0: not a reply error)
    TErrorKind kind;                        // for errors that are no reply
    std::vector<TMailReplySMTP> refused;    // refused recipients' replies
    TSendOutcome expected;
};

class SendOutcomeTest : public ::testing::TestWithParam<TOutcomeCase> {};

TEST_P(SendOutcomeTest, FollowsTheKindOfTheFailure) {
    const TOutcomeCase& c = GetParam();
    std::vector<TSMTPRefusedRecipient> refused;
    for (std::size_t i = 0; i < c.refused.size(); ++i) {
        refused.push_back({"empf" + std::to_string(i) + "@example.org", c.refused[i]});
    }
    if (c.raised.Code != 0) {
        EXPECT_EQ(ClassifySendFailure(EMailSMTPReplyError(c.raised), c.step, refused), c.expected);
    } else {
        EXPECT_EQ(ClassifySendFailure(EDiraError(c.kind, "Fehler"), c.step, refused), c.expected);
    }
}

using S = TSMTPSendStep;
using O = TSendOutcome;
const TErrorKind kReply = TErrorKind::ekReply;

INSTANTIATE_TEST_SUITE_P(
    Failures, SendOutcomeTest,
    ::testing::Values(
        TOutcomeCase{"MailFromTransient", S::ssMailFrom, Reply(451), kReply, {}, O::soServerUnusable},
        TOutcomeCase{"MailFromPermanent", S::ssMailFrom, Reply(553, "5.1.8"), kReply, {}, O::soServerUnusable},
        TOutcomeCase{"EveryRecipientPermanent", S::ssRcptTo, Reply(550, "5.1.1"), kReply,
                     {Reply(550, "5.1.1"), Reply(550, "5.1.1")}, O::soFailedForGood},
        TOutcomeCase{"OneRecipientTransient", S::ssRcptTo, Reply(550, "5.1.1"), kReply,
                     {Reply(450, "4.2.0"), Reply(550, "5.1.1")}, O::soNotNow},
        TOutcomeCase{"GreylistedRecipient", S::ssRcptTo, Reply(450, "4.7.1"), kReply, {Reply(450, "4.7.1")},
                     O::soNotNow},
        TOutcomeCase{"RelayDenied", S::ssRcptTo, Reply(554, "5.7.1"), kReply, {Reply(554, "5.7.1")},
                     O::soServerUnusable},
        TOutcomeCase{"AuthenticationRequired", S::ssMailFrom, Reply(530, "5.7.0"), kReply, {},
                     O::soServerUnusable},
        TOutcomeCase{"ServiceClosing", S::ssRcptTo, Reply(421), kReply, {Reply(421)}, O::soServerUnusable},
        TOutcomeCase{"DataTransient", S::ssData, Reply(451, "4.3.0"), kReply, {}, O::soNotNow},
        TOutcomeCase{"DataPermanent", S::ssData, Reply(552, "5.3.4"), kReply, {}, O::soFailedForGood},
        TOutcomeCase{"ConnectionLost", S::ssNone, TMailReplySMTP{}, TErrorKind::ekPeerClosed, {},
                     O::soServerUnusable},
        TOutcomeCase{"TimeOut", S::ssNone, TMailReplySMTP{}, TErrorKind::ekTimeout, {}, O::soServerUnusable},
        TOutcomeCase{"AttachmentUnreadable", S::ssNone, TMailReplySMTP{}, TErrorKind::ekLocal, {},
                     O::soNotNow}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kdv
