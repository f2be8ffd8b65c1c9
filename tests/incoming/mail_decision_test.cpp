// The decision on a received mail, made from the mail and the settings
// alone: no database is opened, so every rule can be checked here without
// one, and a mail that any rule turns away never waits for the database.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "incoming/kept_mail.h"
#include "incoming/mail_decision.h"
#include "log/log_file.h"
#include "mail/mime_reader.h"
#include "support/temp_dir.h"

namespace kdv::testing {
namespace {

struct TDecisionCase {
    const char* name;
    std::string headers;  // the mail's header lines, each ended by CR LF
    std::string body;
    TDecisionSettings settings;
    std::vector<std::string> whitelist;
    // Expected: turned away with this reason into this folder, or filed.
    bool turn_away;
    std::string reason;
    const char* keep_in;
    TIncidentChoice choice;
    std::string incident;
};

TDecisionSettings SubjectMode() {
    TDecisionSettings s;
    s.subject_mode = true;
    return s;
}
TDecisionSettings Fixed(const std::string& incident) {
    TDecisionSettings s;
    s.fixed_incident = incident;
    return s;
}
TDecisionSettings ActiveOnly() {
    TDecisionSettings s;
    s.active_only = true;
    return s;
}
TDecisionSettings Own(const std::string& address) {
    TDecisionSettings s;
    s.own_address = address;
    return s;
}

const std::string kFromHans = "From: hans@example.org\r\nTo: lage@example.org\r\n";

class MailDecision : public ::testing::TestWithParam<TDecisionCase> {
protected:
    TTempDir home;
    TLogFile log{home.Path() / "KorvaneDiraVid.log", 9, TLogRotation{}};
};

TEST_P(MailDecision, DecidesFromTheMailAndTheSettingsAlone) {
    const TDecisionCase& c = GetParam();
    TMailMessage msg;
    LoadMessageFromMemory(msg, c.headers + "\r\n" + c.body);
    const TMailDecision decision = DecideMail(msg, TSenderRules(c.whitelist), c.settings, log);
    EXPECT_EQ(decision.turn_away, c.turn_away);
    if (c.turn_away) {
        EXPECT_EQ(decision.reason, c.reason);
        EXPECT_STREQ(decision.keep_in, c.keep_in);
        EXPECT_NE(decision.notice.find(" wird nicht übernommen"), std::string::npos) << decision.notice;
        return;
    }
    EXPECT_EQ(decision.choice, c.choice);
    EXPECT_EQ(decision.incident, c.incident);
    EXPECT_EQ(decision.sender, "hans@example.org");
}

INSTANTIATE_TEST_SUITE_P(
    Rules, MailDecision,
    ::testing::Values(
        TDecisionCase{"ActiveIncidentsButLastingOnesByDefault", kFromHans + "Subject: Lage\r\n", "Text\r\n", {},
                      {"*"}, false, "", nullptr, TIncidentChoice::ActiveNotLasting, ""},
        TDecisionCase{"EveryActiveIncidentWithNurEinsatzlagen", kFromHans + "Subject: Lage\r\n", "Text\r\n",
                      ActiveOnly(), {"*"}, false, "", nullptr, TIncidentChoice::Active, ""},
        TDecisionCase{"TheConfiguredIncident", kFromHans + "Subject: Lage\r\n", "Text\r\n", Fixed("7"), {"*"}, false,
                      "", nullptr, TIncidentChoice::Fixed, "7"},
        TDecisionCase{"TheIncidentTheSubjectNames", kFromHans + "Subject: Lage #12 Brand\r\n", "Text\r\n",
                      SubjectMode(), {"*"}, false, "", nullptr, TIncidentChoice::Subject, "12"},
        TDecisionCase{"SubjectWithoutIncidentIsTurnedAway", kFromHans + "Subject: Brand\r\n", "Text\r\n",
                      SubjectMode(), {"*"}, true, "keine Lagen-ID im Betreff", kAbgewiesenOrdner,
                      TIncidentChoice::Subject, ""},
        TDecisionCase{"SenderNotOnTheWhitelist", kFromHans + "Subject: Lage\r\n", "Text\r\n", {},
                      {"@feuerwehr.example"}, true, "Absender hans@example.org nicht auf der Whitelist",
                      kAbgewiesenOrdner, TIncidentChoice::ActiveNotLasting, ""},
        TDecisionCase{"NoSenderAtAll", "To: lage@example.org\r\nSubject: Lage\r\n", "Text\r\n", {},
                      {"@feuerwehr.example"}, true, "kein Absender", kAbgewiesenOrdner,
                      TIncidentChoice::ActiveNotLasting, ""},
        TDecisionCase{"NeitherTextNorAttachment", kFromHans + "Subject: Leer\r\n", "\r\n \r\n", {}, {"*"}, true,
                      "weder Text noch Anhang", kAbgewiesenOrdner, TIncidentChoice::ActiveNotLasting, ""},
        TDecisionCase{"OutOfOfficeReplyIsKeptWithTheAutomaticMails",
                      kFromHans + "Subject: Abwesend\r\nAuto-Submitted: auto-replied\r\n", "Bin weg\r\n", {}, {"*"},
                      true, "automatische Antwort (Auto-Submitted: auto-replied)", kAutomatischOrdner,
                      TIncidentChoice::ActiveNotLasting, ""},
        TDecisionCase{"OwnMailComeBackEvenFromAWhitelistedSender",
                      kFromHans + "Subject: Lage\r\nX-Loop: diravid@lage.example\r\n", "Text\r\n",
                      Own("diravid@lage.example"), {"*"}, true, "eigene Mail des Dienstes (X-Loop: diravid@lage.example)", kAutomatischOrdner,
                      TIncidentChoice::ActiveNotLasting, ""}),
    [](const ::testing::TestParamInfo<TDecisionCase>& info) { return std::string(info.param.name); });

// A mail of attachments alone is filed with an empty text; the recipients
// keep their CC part.
TEST(MailDecisionText, AttachmentOnlyMailIsFiledWithAnEmptyText) {
    TTempDir home;
    TLogFile log{home.Path() / "KorvaneDiraVid.log", 9, TLogRotation{}};
    TMailMessage msg;
    LoadMessageFromMemory(msg,
                          "From: hans@example.org\r\nTo: a@example.org\r\nCc: b@example.org\r\nSubject: Fax\r\n"
                          "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"g\"\r\n\r\n"
                          "--g\r\nContent-Type: application/pdf\r\nContent-Disposition: attachment; "
                          "filename=\"fax.pdf\"\r\nContent-Transfer-Encoding: base64\r\n\r\nJVBERg==\r\n--g--\r\n");
    const TMailDecision decision = DecideMail(msg, TSenderRules({"*"}), {}, log);
    EXPECT_FALSE(decision.turn_away);
    EXPECT_TRUE(decision.has_attachments);
    EXPECT_EQ(decision.text, "");
    EXPECT_EQ(decision.recipients, "a@example.org CC: b@example.org");
}

}  // namespace
}  // namespace kdv::testing
