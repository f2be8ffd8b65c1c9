// Mails no person wrote, through the evaluation against the real server:
// the service's own mail coming back, out-of-office replies and bounces are
// kept in Automatisch instead of filed (and so never mailed on), and the
// "auto-generated" mails of alarm systems are filed as usual.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "incoming/automatic_mail.h"
#include "incoming/kept_mail.h"
#include "incoming/message_evaluation.h"
#include "incoming_test_fixture.h"

namespace kdv::testing {
namespace {

using E = TAuswertungsErgebnis;

enum class TExpected { Filed, KeptAsAutomatic };

struct TAutomaticCase {
    const char* name;
    std::string headers;  // lines in front of From, each ended by CR LF
    std::string from;     // the From line's value
    std::string address;  // the sender address the log names
    std::string subject;
    std::string content;  // the content headers, an empty line and the body
    TExpected expected;
    std::string reason;  // the log's reason when not filed
};

const std::string kPlainText =
    "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\nText der Nachricht\r\n";

const std::string kDeliveryReport =
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/report; report-type=delivery-status;\r\n"
    "\tboundary=\"7C2A41F.1702215923/mail.example.org\"\r\n"
    "\r\n"
    "This is a MIME-encapsulated message.\r\n"
    "\r\n"
    "--7C2A41F.1702215923/mail.example.org\r\n"
    "Content-Description: Notification\r\n"
    "Content-Type: text/plain; charset=us-ascii\r\n"
    "\r\n"
    "This is the mail system at host mail.example.org.\r\n"
    "\r\n"
    "I'm sorry to have to inform you that your message could not\r\n"
    "be delivered to one or more recipients.\r\n"
    "\r\n"
    "<stab@example.net>: host mx.example.net said: 550 5.1.1 User unknown\r\n"
    "\r\n"
    "--7C2A41F.1702215923/mail.example.org\r\n"
    "Content-Description: Delivery report\r\n"
    "Content-Type: message/delivery-status\r\n"
    "\r\n"
    "Reporting-MTA: dns; mail.example.org\r\n"
    "\r\n"
    "Final-Recipient: rfc822; stab@example.net\r\n"
    "Action: failed\r\n"
    "Status: 5.1.1\r\n"
    "\r\n"
    "--7C2A41F.1702215923/mail.example.org--\r\n";

std::string MailOf(const TAutomaticCase& c) {
    return c.headers + "From: " + c.from + "\r\nTo: diravid@example.org\r\nSubject: " + c.subject + "\r\n" +
           c.content;
}

class AutomaticMailFixture : public IncomingDbTest {
protected:
    void SetUp() override {
        IncomingDbTest::SetUp();
        Ini.WriteString("SMTP", "MailAdresse", "DiraVid@Example.org");
        // Bounces come from addresses no whitelist names: they must not
        // end up with the mails the list turned away.
        Ctx.Whitelist = TSenderRules({"@example.org"});
    }

    TAuswertung EvaluateFile(const std::string& mailText) {
        const auto file = Home.Path() / "eingang.eml";
        WriteFile(file, mailText);
        auto message = ParseMail(mailText);
        message->RawFile = file;
        return AuswertenMail(Ctx, *message);
    }

    bool FolderExists(const char* name) const { return std::filesystem::exists(Home.Path() / name); }
};

class AutomaticMailTest : public AutomaticMailFixture, public ::testing::WithParamInterface<TAutomaticCase> {};

TEST_P(AutomaticMailTest, IsFiledKeptOrTurnedAwayByItsHeaders) {
    const TAutomaticCase& c = GetParam();
    const std::string mail = MailOf(c);
    const TAuswertung result = EvaluateFile(mail);
    const std::string log = LogText();
    const std::string notice =
        "Nachricht von " + c.address + " Betreff " + c.subject + " wird nicht übernommen: " + c.reason + ".";
    const std::string notFiled = "Hinweis   | " + notice;
    if (c.expected == TExpected::Filed) {
        EXPECT_EQ(result.Ergebnis, E::Abgelegt) << log;
        EXPECT_EQ(Filed("ID").size(), 1u);
        EXPECT_FALSE(FolderExists("Automatisch"));
        return;
    }
    // Not filed, and so never mailed on; the mailbox may let it go.
    EXPECT_EQ(result.Ergebnis, E::Abgewiesen);
    EXPECT_EQ(result.Grund, c.reason);
    EXPECT_TRUE(Filed("ID").empty());
    EXPECT_NE(log.find(notFiled), std::string::npos) << log;
    EXPECT_FALSE(FolderExists("Abgewiesen"));
    EXPECT_FALSE(FolderExists("Fehler"));
    ASSERT_EQ(result.Kopie.parent_path(), Home.Path() / "Automatisch");
    EXPECT_EQ(ReadFile(result.Kopie), mail);
    EXPECT_EQ(ReadFile(KeptReasonPath(result.Kopie)), notice + "\n");
    EXPECT_NE(log.find("Hinweis   | Mail aufbewahrt als " + result.Kopie.string()), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Mails, AutomaticMailTest,
    ::testing::Values(
        TAutomaticCase{"SieveVacationReply",
                       "Return-Path: <hans@example.org>\r\nAuto-Submitted: auto-replied (vacation)\r\n"
                       "Precedence: bulk\r\n",
                       "Hans Meier <hans@example.org>", "hans@example.org", "Abwesend: Pegel (#3)", kPlainText,
                       TExpected::KeptAsAutomatic, "automatische Antwort (Auto-Submitted: auto-replied)"},
        TAutomaticCase{"GroupwareOutOfOfficeReply",
                       "Auto-Submitted: auto-replied\r\nX-Auto-Response-Suppress: All\r\n"
                       "Thread-Topic: Pegel (#3)\r\n",
                       "\"Meier, Hans\" <hans@example.org>", "hans@example.org",
                       "Automatische Antwort: Pegel (#3)", kPlainText, TExpected::KeptAsAutomatic,
                       "automatische Antwort (Auto-Submitted: auto-replied)"},
        TAutomaticCase{"MtaDeliveryStatusNotification",
                       "Return-Path: <>\r\nAuto-Submitted: auto-replied\r\n",
                       "MAILER-DAEMON@mail.example.net (Mail Delivery System)", "MAILER-DAEMON@mail.example.net",
                       "Undelivered Mail Returned to Sender", kDeliveryReport, TExpected::KeptAsAutomatic,
                       "automatische Antwort (Auto-Submitted: auto-replied)"},
        TAutomaticCase{"DeliveryReportAlone", "", "Postmaster <postmaster@example.org>", "postmaster@example.org",
                       "Unzustellbar: Pegel (#3)", kDeliveryReport, TExpected::KeptAsAutomatic,
                       "Zustellbericht (multipart/report)"},
        TAutomaticCase{"EmptyEnvelopeSenderAlone", "Return-Path: < >\r\n", "Hans Meier <hans@example.org>",
                       "hans@example.org", "Pegel (#3)", kPlainText, TExpected::KeptAsAutomatic,
                       "Unzustellbarkeitsnachricht (leerer Absender: Return-Path: <>)"},
        TAutomaticCase{"MailerDaemonSenderAlone", "",
                       "Mail Delivery Subsystem <mailer-daemon@relay.example.net>",
                       "mailer-daemon@relay.example.net", "Returned mail: see transcript for details", kPlainText,
                       TExpected::KeptAsAutomatic, "Unzustellbarkeitsnachricht (Absender MAILER-DAEMON)"},
        TAutomaticCase{"OwnMailComingBack", "X-Loop: <diravid@example.ORG>\r\nAuto-Submitted: auto-generated\r\n",
                       "DiraVid@Example.org", "DiraVid@Example.org", "Pegel (#3)", kPlainText,
                       TExpected::KeptAsAutomatic, "eigene Mail des Dienstes (X-Loop: DiraVid@Example.org)"},
        // A person forwarded it with the header left in: it must not be lost.
        TAutomaticCase{"OwnLoopBehindAListsLoop",
                       "X-Loop: stab-liste@example.org\r\nX-Loop: diravid@example.org\r\n",
                       "Hans Meier <hans@example.org>", "hans@example.org", "WG: Pegel (#3)", kPlainText,
                       TExpected::KeptAsAutomatic, "eigene Mail des Dienstes (X-Loop: DiraVid@Example.org)"},
        TAutomaticCase{"AnotherSystemsLoopHeader", "X-Loop: stab-liste@example.org\r\n",
                       "Hans Meier <hans@example.org>", "hans@example.org", "Lagemeldung", kPlainText,
                       TExpected::Filed, ""},
        TAutomaticCase{"AlarmSystemAutoGenerated", "Auto-Submitted: auto-generated\r\n",
                       "Brandmeldeanlage <bma@example.org>", "bma@example.org", "Alarm Halle 2", kPlainText,
                       TExpected::Filed, ""},
        TAutomaticCase{"PersonWithAutoSubmittedNo",
                       "Return-Path: <hans@example.org>\r\nAuto-Submitted: no\r\n",
                       "Hans Meier <hans@example.org>", "hans@example.org", "Lagemeldung", kPlainText,
                       TExpected::Filed, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// An automatic mail that cannot be kept stays in the mailbox rather than
// vanish, the service's own mail come back too.
TEST_F(AutomaticMailFixture, MailThatCannotBeKeptStaysInTheMailbox) {
    WriteFile(Home.Path() / "Automatisch", "eine Datei, kein Ordner");
    for (const std::string header : {"Auto-Submitted: auto-replied", "X-Loop: diravid@example.org"}) {
        SCOPED_TRACE(header);
        const TAuswertung result =
            EvaluateFile(header + "\r\nFrom: hans@example.org\r\nSubject: Abwesend\r\n" + kPlainText);
        EXPECT_EQ(result.Ergebnis, E::Fehlgeschlagen);
        EXPECT_FALSE(result.Dauerhaft);
        EXPECT_TRUE(result.Kopie.empty());
        EXPECT_TRUE(Filed("ID").empty());
    }
    EXPECT_NE(LogText().find("FEHLER    | Mail konnte nicht aufbewahrt werden: "), std::string::npos) << LogText();
}

}  // namespace
}  // namespace kdv::testing
