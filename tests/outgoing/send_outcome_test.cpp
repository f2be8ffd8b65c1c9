// What becomes of a row whose mail failed, decided on the stage of the
// session the failure happened in, its kind and the refused recipients.
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
    TSMTPStage stage;
    TMailReplySMTP raised;                  // the reply Send raised (code 0: not a reply error)
    TErrorKind kind;                        // for errors that are no reply
    std::vector<TMailReplySMTP> refused;    // refused recipients' replies
    TSendOutcome expected;
};

class SendOutcomeTest : public ::testing::TestWithParam<TOutcomeCase> {};

TEST_P(SendOutcomeTest, FollowsTheStageAndKindOfTheFailure) {
    const TOutcomeCase& c = GetParam();
    std::vector<TSMTPRefusedRecipient> refused;
    for (std::size_t i = 0; i < c.refused.size(); ++i) {
        refused.push_back({"empf" + std::to_string(i) + "@example.org", c.refused[i]});
    }
    if (c.raised.Code != 0) {
        EXPECT_EQ(ClassifySendFailure(EMailSMTPReplyError(c.raised, c.stage), refused), c.expected);
    } else {
        EXPECT_EQ(ClassifySendFailure(EMailSMTPError(c.stage, c.kind, "Fehler"), refused), c.expected);
    }
}

// A failure below the dialogue carries no reply, even where its kind says
// "reply" (a reply the parser could not read): it never counts as the row's
// refusal, whatever the stage or the recipients refused before it.
TEST(SendOutcome, AFailureWithoutAReplyIsNeverTheRows) {
    const std::vector<TSMTPRefusedRecipient> none;
    const std::vector<TSMTPRefusedRecipient> one_refused = {{"a@example.org", Reply(550, "5.1.1")}};
    EXPECT_EQ(ClassifySendFailure(EMailSMTPError(TSMTPStage::ssMailFrom, TErrorKind::ekReply, "unlesbar"), none),
              TSendOutcome::soServerUnusable);
    EXPECT_EQ(ClassifySendFailure(EMailSMTPError(TSMTPStage::ssRcptTo, TErrorKind::ekReply, "unlesbar"), one_refused),
              TSendOutcome::soServerUnusableInTransfer);
    EXPECT_EQ(ClassifySendFailure(EMailSMTPError(TSMTPStage::ssData, TErrorKind::ekReply, "unlesbar"), none),
              TSendOutcome::soServerUnusableInTransfer);
}

using S = TSMTPStage;
using O = TSendOutcome;
const TErrorKind kReply = TErrorKind::ekReply;
const TMailReplySMTP kNoReply{};

INSTANTIATE_TEST_SUITE_P(
    Failures, SendOutcomeTest,
    ::testing::Values(
        // Up to the login: the same for every row.
        TOutcomeCase{"GreetingRefused", S::ssGreeting, Reply(554, "5.3.2"), kReply, {}, O::soServerUnusable},
        TOutcomeCase{"TimeOutAtGreeting", S::ssGreeting, kNoReply, TErrorKind::ekTimeout, {}, O::soServerUnusable},
        TOutcomeCase{"LoginRefused", S::ssAuth, Reply(535, "5.7.8"), TErrorKind::ekAuthentication, {},
                     O::soServerUnusable},
        // MAIL FROM: the sender every row shares, unless it is the size.
        TOutcomeCase{"MailFromTransient", S::ssMailFrom, Reply(451), kReply, {}, O::soServerUnusable},
        TOutcomeCase{"MailFromPermanent", S::ssMailFrom, Reply(553, "5.1.8"), kReply, {}, O::soServerUnusable},
        TOutcomeCase{"MailFromPolicy", S::ssMailFrom, Reply(554, "5.7.1"), kReply, {}, O::soServerUnusable},
        TOutcomeCase{"MailFromRefusesTheSize", S::ssMailFrom, Reply(552, "5.3.4"), kReply, {}, O::soFailedForGood},
        TOutcomeCase{"MailFromSizeForNow", S::ssMailFrom, Reply(452, "4.3.4"), kReply, {}, O::soNotNow},
        TOutcomeCase{"ConnectionLostAtMailFrom", S::ssMailFrom, kNoReply, TErrorKind::ekPeerClosed, {},
                     O::soServerUnusable},
        // RCPT TO: the row's own recipients.
        TOutcomeCase{"EveryRecipientPermanent", S::ssRcptTo, Reply(550, "5.1.1"), kReply,
                     {Reply(550, "5.1.1"), Reply(550, "5.1.1")}, O::soFailedForGood},
        TOutcomeCase{"OneRecipientTransient", S::ssRcptTo, Reply(550, "5.1.1"), kReply,
                     {Reply(450, "4.2.0"), Reply(550, "5.1.1")}, O::soNotNow},
        TOutcomeCase{"GreylistedRecipient", S::ssRcptTo, Reply(450, "4.7.1"), kReply, {Reply(450, "4.7.1")},
                     O::soNotNow},
        TOutcomeCase{"RecipientRefusedByPolicy", S::ssRcptTo, Reply(554, "5.7.1"), kReply, {Reply(554, "5.7.1")},
                     O::soFailedForGood},
        TOutcomeCase{"LoginWantedForTheRecipient", S::ssRcptTo, Reply(530, "5.7.0"), kReply,
                     {Reply(530, "5.7.0")}, O::soServerUnusable},
        TOutcomeCase{"ServiceClosingAtMailFrom", S::ssMailFrom, Reply(421, "4.3.2"), kReply, {}, O::soServerUnusable},
        TOutcomeCase{"ServiceClosingAtRecipient", S::ssRcptTo, Reply(421), kReply, {Reply(421)},
                     O::soServerUnusableInTransfer},
        TOutcomeCase{"ServiceClosingAfterARefusedRecipient", S::ssRcptTo, Reply(421), kReply,
                     {Reply(550, "5.1.1"), Reply(421)}, O::soServerUnusableInTransfer},
        TOutcomeCase{"ConnectionLostAtRecipient", S::ssRcptTo, kNoReply, TErrorKind::ekPeerClosed, {},
                     O::soServerUnusableInTransfer},
        // DATA and the text.
        TOutcomeCase{"DataTransient", S::ssData, Reply(451, "4.3.0"), kReply, {}, O::soNotNow},
        TOutcomeCase{"DataPermanent", S::ssData, Reply(552, "5.3.4"), kReply, {}, O::soFailedForGood},
        TOutcomeCase{"ContentRefusedByPolicy", S::ssData, Reply(554, "5.7.1"), kReply, {}, O::soFailedForGood},
        TOutcomeCase{"ServiceClosingAfterTheText", S::ssData, Reply(421, "4.4.2"), kReply, {},
                     O::soServerUnusableInTransfer},
        TOutcomeCase{"ConnectionLostInTheText", S::ssData, kNoReply, TErrorKind::ekPeerClosed, {},
                     O::soServerUnusableInTransfer},
        TOutcomeCase{"TimeOutAfterTheText", S::ssData, kNoReply, TErrorKind::ekTimeout, {},
                     O::soServerUnusableInTransfer},
        TOutcomeCase{"AttachmentUnreadable", S::ssData, kNoReply, TErrorKind::ekLocal, {}, O::soNotNow}),
    [](const auto& info) { return std::string(info.param.name); });

// The failure of Connect or Authenticate says what failed: only a login the
// server refused is left as it stands.
struct TStartFailureCase {
    const char* name;
    std::shared_ptr<EMailSMTPError> error;
    std::string text;
};

class SmtpStartFailureTextTest : public ::testing::TestWithParam<TStartFailureCase> {};

TEST_P(SmtpStartFailureTextTest, NamesTheCauseAfterTheMessage) {
    const EMailSMTPError& error = *GetParam().error;
    EXPECT_EQ(SmtpStartFailureText(error, error.Stage()), GetParam().text);
}

std::shared_ptr<EMailSMTPError> SmtpError(TSMTPStage stage, TErrorKind kind, const std::string& message) {
    return std::make_shared<EMailSMTPError>(stage, kind, message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SmtpStartFailureTextTest,
    ::testing::Values(
        TStartFailureCase{"ConnectionRefused",
                          SmtpError(TSMTPStage::ssConnect, TErrorKind::ekRefused, "Socket-Fehler # 111"),
                          "Socket-Fehler # 111 (keine Verbindung zum Mailserver, noch vor der Anmeldung)"},
        TStartFailureCase{"ResetBeforeTheGreeting",
                          SmtpError(TSMTPStage::ssGreeting, TErrorKind::ekPeerClosed, "Socket-Fehler # 104"),
                          "Socket-Fehler # 104 (Verbindung zum Mailserver verloren, noch vor der Anmeldung)"},
        TStartFailureCase{"ClosedDuringTheLogin",
                          SmtpError(TSMTPStage::ssAuth, TErrorKind::ekPeerClosed,
                                    "Die Verbindung wurde erfolgreich geschlossen."),
                          "Die Verbindung wurde erfolgreich geschlossen. (Verbindung zum Mailserver verloren "
                          "während der Anmeldung)"},
        TStartFailureCase{"NoGreetingInTime", SmtpError(TSMTPStage::ssGreeting, TErrorKind::ekTimeout, "Zeitüberschreitung"),
                          "Zeitüberschreitung (keine Antwort des Mailservers in der Zeit, noch vor der Anmeldung)"},
        TStartFailureCase{"TlsHandshake", SmtpError(TSMTPStage::ssStartTls, TErrorKind::ekTls, "Handshake"),
                          "Handshake (TLS mit dem Mailserver fehlgeschlagen, noch vor der Anmeldung)"},
        TStartFailureCase{"GreetingRefused",
                          std::make_shared<EMailSMTPReplyError>(Reply(554), TSMTPStage::ssGreeting),
                          "Antwort (der Mailserver hat die Sitzung abgewiesen, noch vor der Anmeldung)"},
        TStartFailureCase{"LoginRefused",
                          std::make_shared<EMailSMTPReplyError>(Reply(535), TSMTPStage::ssAuth,
                                                                TErrorKind::ekAuthentication),
                          "Antwort\r\n"},
        // A kind that names no fault of the server has no cause to add.
        TStartFailureCase{"LocalFailureLeftAsItIs", SmtpError(TSMTPStage::ssConnect, TErrorKind::ekLocal, "anders"),
                          "anders"}),
    [](const ::testing::TestParamInfo<TStartFailureCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kdv
