// Evaluating one received mail end to end: sender check, subject gate,
// target incidents, text choice, archive copy, journal rows and attachment
// files, against the real server.
#include "incoming/message_evaluation.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "incoming/kept_mail.h"
#include "incoming_test_fixture.h"
#include "platform/dira_error.h"

namespace kdv::testing {
namespace {

using Row = std::vector<std::string>;
using E = TAuswertungsErgebnis;

// A multipart/mixed mail with the given parts (each a header block, a blank
// line and the content).
std::string MixedMail(const std::string& subject, const std::vector<std::string>& parts) {
    std::string mail =
        "From: Hans Meier <hans@example.org>\r\nTo: leitstelle@example.org\r\nCc: b@example.org\r\nSubject: " +
        subject + "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"grenze\"\r\n\r\n";
    for (const std::string& part : parts) mail += "--grenze\r\n" + part + "\r\n";
    return mail + "--grenze--\r\n";
}

std::string TextPart(const std::string& type, const std::string& body) {
    return "Content-Type: " + type + "; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" + body;
}

// Content "Inhalt <n>" in base64 under the given file name.
std::string AttachmentPart(const std::string& fileName, const std::string& base64) {
    return "Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n"
           "Content-Disposition: attachment; filename=\"" +
           fileName + "\"\r\n\r\n" + base64;
}

const std::string kInhalt1 = "SW5oYWx0IDE=";  // "Inhalt 1"
const std::string kInhalt2 = "SW5oYWx0IDI=";  // "Inhalt 2"

class MessageEvaluationTest : public IncomingDbTest {
protected:
    TAuswertung Evaluate(const std::string& mailText) {
        auto message = ParseMail(mailText);
        return AuswertenMail(Ctx, *message);
    }

    // As a mailbox pass or the import hands it over: read from a file that
    // stays the message's raw text.
    TAuswertung EvaluateFile(const std::string& mailText) {
        const auto file = Home.Path() / ("eingang" + std::to_string(++Files) + ".eml");
        WriteFile(file, mailText);
        auto message = ParseMail(mailText);
        message->RawFile = file;
        return AuswertenMail(Ctx, *message);
    }

    std::vector<std::filesystem::path> FilesIn(const std::string& folder) const {
        std::vector<std::filesystem::path> files;
        if (!std::filesystem::exists(Home.Path() / folder)) return files;
        for (const auto& entry : std::filesystem::directory_iterator(Home.Path() / folder)) files.push_back(entry.path());
        return files;
    }
    std::vector<std::filesystem::path> ArchiveFiles() const { return FilesIn("old"); }

    int Files = 0;
};

TEST_F(MessageEvaluationTest, WhitelistAdmitsWholeEntriesAndKeepsWhatItTurnsAway) {
    struct Case {
        std::vector<std::string> whitelist;
        std::string from;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {{"*"}, "wer@irgendwo.net", true},
        // A star anywhere admits everyone. Another sender than above: the
        // same mail again would be found in the incident already.
        {{"*@example.org"}, "jemand@irgendwo.net", true},
        {{"leitung@example.org", "EL@Example.ORG"}, "el@example.org", true},
        {{"Hans Meier <hans.meier@example.org>"}, "hans.meier@example.org", true},
        {{"@example.org"}, "jeder@example.org", true},
        {{"el@example.org"}, "l@example.org", false},  // no part of an entry admits anyone
        {{"hans.meier@example.org"}, "meier@example.com", false},
        {{}, "hans.meier@example.org", false},  // an empty file admits nobody
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.from);
        Ctx.Whitelist = TSenderRules(c.whitelist);
        const std::size_t before = Filed("ID").size();
        const TAuswertung result = EvaluateFile(PlainMail(c.from, "Meldung", "Text"));
        EXPECT_EQ(result.Ergebnis, c.accepted ? E::Abgelegt : E::Abgewiesen);
        EXPECT_EQ(Filed("ID").size(), before + (c.accepted ? 1 : 0));
        const std::string line = "Nachricht von " + c.from + " Betreff Meldung wird " +
                                 (c.accepted ? "ausgewertet." : "nicht übernommen, da Empfänger nicht auf der Whitelist.");
        EXPECT_NE(LogText().find(line), std::string::npos);
        if (!c.accepted) {
            // Kept as it came, so a sender left out by mistake loses nothing.
            ASSERT_EQ(result.Kopie.parent_path(), Home.Path() / "Abgewiesen");
            EXPECT_EQ(ReadFile(result.Kopie), PlainMail(c.from, "Meldung", "Text"));
            EXPECT_NE(LogText().find("Mail aufbewahrt als " + result.Kopie.string()), std::string::npos);
        }
    }
    // One copy per mail, however often it comes, each with its reason.
    EXPECT_EQ(FilesIn("Abgewiesen").size(), 2 * 3u);
    Ctx.Whitelist = TSenderRules({"el@example.org"});
    EvaluateFile(PlainMail("l@example.org", "Meldung", "Text"));
    EXPECT_EQ(FilesIn("Abgewiesen").size(), 2 * 3u);
    EXPECT_TRUE(FilesIn("Fehler").empty());
}

// Every rule that turns a mail away keeps it a while with its reason, so an
// operator can import it once the incident exists or the list is mended.
struct TTurnAwayCase {
    const char* name;
    std::vector<std::string> whitelist;
    std::vector<std::pair<std::string, std::string>> settings;  // [Maileingang] key, value
    std::string sql;                                             // run before the mail
    std::string subject;
    std::string body;
    std::string grund;
    std::string hinweis;  // after "Nachricht von hans@example.org Betreff <subject> "
};

const std::vector<TTurnAwayCase> kTurnAwayCases = {
    {"SenderNotOnTheWhitelist", {"el@example.org"}, {}, "", "Pegel", "Steigt.",
     "Absender hans@example.org nicht auf der Whitelist", "wird nicht übernommen, da Empfänger nicht auf der Whitelist."},
    {"NoIncidentNumberInTheSubject", {"*"}, {{"Betreff", "1"}}, "", "Pegel ohne Nummer", "Steigt.",
     "keine Lagen-ID im Betreff", "wird nicht übernommen: keine Lagen-ID im Betreff."},
    {"IncidentOfTheSubjectNotActive", {"*"}, {{"Betreff", "1"}}, "", "Pegel #5", "Steigt.",
     "Lage 5 ist nicht aktiv oder nicht vorhanden",
     "wird nicht übernommen: Lage 5 ist nicht aktiv oder nicht vorhanden."},
    {"NeitherTextNorAttachment", {"*"}, {}, "", "Leer", "", "weder Text noch Anhang",
     "wird nicht übernommen: weder Text noch Anhang."},
    {"NamedIncidentMissing", {"*"}, {{"Lage", "99"}}, "", "Pegel an 99", "Steigt.", "keine Lage zum Ablegen gefunden",
     "wird nicht übernommen: keine Lage zum Ablegen gefunden."},
    // The moment between closing one incident and opening the next.
    {"NoActiveIncident", {"*"}, {}, "UPDATE LF_LAGEN SET AKTIV=0;", "Pegel", "Steigt.",
     "keine Lage zum Ablegen gefunden", "wird nicht übernommen: keine Lage zum Ablegen gefunden."},
};

class TurnAwayTest : public MessageEvaluationTest, public ::testing::WithParamInterface<TTurnAwayCase> {
protected:
    void SetUp() override {
        MessageEvaluationTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        const TTurnAwayCase& c = GetParam();
        Ctx.Whitelist = TSenderRules(c.whitelist);
        for (const auto& [key, value] : c.settings) Ini.WriteString("Maileingang", key, value);
        if (!c.sql.empty()) Db->Sql(c.sql);
    }
    std::string Mail() const { return PlainMail("hans@example.org", GetParam().subject, GetParam().body); }
    std::string Hinweis() const {
        return "Nachricht von hans@example.org Betreff " + GetParam().subject + " " + GetParam().hinweis;
    }
};

TEST_P(TurnAwayTest, IsKeptWithItsReason) {
    const TAuswertung result = EvaluateFile(Mail());
    EXPECT_EQ(result.Ergebnis, E::Abgewiesen);
    EXPECT_EQ(result.Grund, GetParam().grund);
    EXPECT_TRUE(Filed("ID").empty());
    ASSERT_EQ(result.Kopie.parent_path(), Home.Path() / "Abgewiesen");
    EXPECT_EQ(ReadFile(result.Kopie), Mail());
    EXPECT_EQ(ReadFile(KeptReasonPath(result.Kopie)), Hinweis() + "\n");
    const std::string log = LogText();
    EXPECT_NE(log.find("Hinweis   | " + Hinweis()), std::string::npos) << log;
    EXPECT_NE(log.find("Hinweis   | Mail aufbewahrt als " + result.Kopie.string()), std::string::npos) << log;
    EXPECT_TRUE(FilesIn("Fehler").empty());
}

// A mail that cannot be kept stays in the mailbox rather than vanish.
TEST_P(TurnAwayTest, ThatCannotBeKeptFailsAndStaysInTheMailbox) {
    WriteFile(Home.Path() / "Abgewiesen", "eine Datei, kein Ordner");
    const TAuswertung result = EvaluateFile(Mail());
    EXPECT_EQ(result.Ergebnis, E::Fehlgeschlagen);
    EXPECT_FALSE(result.Dauerhaft) << "the folder may be mended";
    EXPECT_EQ(result.Grund.rfind(GetParam().grund + "; die Mail kann nicht aufbewahrt werden: Ordner ", 0), 0u)
        << result.Grund;
    EXPECT_TRUE(result.Kopie.empty());
    EXPECT_TRUE(Filed("ID").empty());
    const std::string log = LogText();
    EXPECT_NE(log.find("Hinweis   | " + Hinweis()), std::string::npos) << log;
    EXPECT_NE(log.find("FEHLER    | Mail konnte nicht aufbewahrt werden: Ordner "), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(Rules, TurnAwayTest, ::testing::ValuesIn(kTurnAwayCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MessageEvaluationTest, MailWithoutSenderAddressIsNeverAcceptedByTheList) {
    Ctx.Whitelist = TSenderRules({"a@example.org"});
    const TAuswertung result = Evaluate("To: a@example.org\r\nSubject: anonym\r\n\r\nText\r\n");
    EXPECT_EQ(result.Ergebnis, E::Abgewiesen);
    EXPECT_EQ(result.Grund, "kein Absender");
    EXPECT_TRUE(Filed("ID").empty());
}

TEST_F(MessageEvaluationTest, TargetIncidentsFollowTheSettings) {
    struct Case {
        std::vector<std::pair<std::string, std::string>> settings;  // [Maileingang] key, value
        std::string subject;
        E ergebnis;
        std::vector<std::string> lagen;
    };
    const std::vector<Case> cases = {
        {{}, "Meldung", E::Abgelegt, {"3"}},  // active, not permanent
        {{{"Nur_Einsatzlagen", "1"}}, "Meldung", E::Abgelegt, {"3", "4"}},
        {{{"Lage", "5"}}, "Meldung", E::Abgelegt, {"5"}},  // named: taken even when inactive
        {{{"Lage", "99"}}, "Meldung", E::Abgewiesen, {}},
        // Subject mode: only the active incident named after the first "#" with digits.
        {{{"Betreff", "1"}}, "Lage #x, #4 und #3", E::Abgelegt, {"4"}},
        {{{"Betreff", "1"}, {"Lage", "5"}}, "Meldung #3", E::Abgelegt, {"3"}},
        {{{"Betreff", "1"}}, "Meldung #5", E::Abgewiesen, {}},  // inactive
        {{{"Betreff", "1"}}, "Meldung 3", E::Abgewiesen, {}},   // no "#"
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.subject);
        for (const char* key : {"Betreff", "Lage", "Nur_Einsatzlagen"}) Ini.WriteString("Maileingang", key, "");
        for (const auto& [key, value] : c.settings) Ini.WriteString("Maileingang", key, value);
        Db->Sql("DELETE FROM LF_NACHRICHTEN WHERE ADD_USER='DiraVid';");

        const TAuswertung result = Evaluate(PlainMail("hans@example.org", c.subject, "Text"));
        EXPECT_EQ(result.Ergebnis, c.ergebnis);
        EXPECT_EQ(result.Lagen, c.lagen);
        EXPECT_EQ(Filed("LAGE"), c.lagen);
        if (c.ergebnis == E::Abgewiesen) {
            EXPECT_FALSE(result.Grund.empty());
        }
    }
    const std::string log = LogText();
    EXPECT_NE(log.find("Prüfe Betreff der Nachricht auf Lage-ID: Lage #x, #4 und #3"), std::string::npos);
    EXPECT_NE(log.find("SELECT ID FROM LF_LAGEN WHERE AKTIV=1 AND ID = 4<CR><LF>"), std::string::npos);
    EXPECT_NE(log.find("Im Betreff der Nachricht wurde keine Lagen-ID gefunden, die Nachricht wird daher ignoriert."),
              std::string::npos);
    EXPECT_NE(log.find("Nachricht von hans@example.org Betreff Meldung #5 wird nicht übernommen: Lage 5 ist nicht "
                       "aktiv oder nicht vorhanden."),
              std::string::npos);
}

TEST_F(MessageEvaluationTest, NoActiveIncidentArchivesButFilesNothing) {
    Db->Sql("UPDATE LF_LAGEN SET AKTIV=0;");
    const TAuswertung result = Evaluate(PlainMail("hans@example.org", "Meldung", "Text"));
    EXPECT_EQ(result.Ergebnis, E::Abgewiesen);
    EXPECT_TRUE(Filed("ID").empty());
    EXPECT_EQ(ArchiveFiles().size(), 1u);
    EXPECT_NE(LogText().find("Nachricht von hans@example.org Betreff Meldung wird nicht übernommen: keine Lage zum "
                             "Ablegen gefunden."),
              std::string::npos);
}

// A mail of one part with the given Content-Type.
std::string SinglePartMail(const std::string& type, const std::string& body) {
    return "From: hans@example.org\r\nTo: leitstelle@example.org\r\nSubject: Bericht\r\nMIME-Version: 1.0\r\n"
           "Content-Type: " +
           type + "\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" + body + "\r\n";
}

TEST_F(MessageEvaluationTest, TextComesFromTheFirstTextPartThatShowsText) {
    struct Case {
        std::string name;
        std::string mail;
        std::string inhalt;  // after the subject line and the marker
    };
    const std::vector<Case> cases = {
        {"html before plain",
         MixedMail("Bericht", {TextPart("text/html", "<p>Pegel &amp; Lage</p>\r\n<br>\r\n\r\n\r\nEnde"),
                               TextPart("text/plain", "Klartext")}),
         "Pegel & Lage\r\n\r\nEnde\r\n"},
        {"empty text part skipped", MixedMail("Bericht", {TextPart("text/plain", ""), TextPart("text/plain", "Zweiter")}),
         "Zweiter\r\n"},
        {"blank text part skipped",
         MixedMail("Bericht", {TextPart("text/plain", "  \r\n\t\r\n"), TextPart("text/plain", "Zweiter")}),
         "Zweiter\r\n"},
        {"html part that shows nothing skipped",
         MixedMail("Bericht", {TextPart("text/html", "<html><body><img src=\"logo.png\"></body></html>"),
                               TextPart("text/plain", "Klartext")}),
         "Klartext\r\n"},
        {"plain body", PlainMail("hans@example.org", "Bericht", "Zeile 1\nZeile 2"), "Zeile 1\r\nZeile 2\r\n"},
        // Plain text is filed as written: no tag, entity or blank line is touched.
        {"plain body as written",
         PlainMail("hans@example.org", "Bericht",
                   "Pegel < 5 m, Abfluss > 3 m\r\nAm Montag schrieb Hans <hans@example.org>:\r\n"
                   "> Lage &amp; <b>Pegel</b>\r\n\r\n\r\n\r\n  eingerückt  \r\nEnde"),
         "Pegel < 5 m, Abfluss > 3 m\r\nAm Montag schrieb Hans <hans@example.org>:\r\n"
         "> Lage &amp; <b>Pegel</b>\r\n\r\n\r\n\r\n  eingerückt  \r\nEnde\r\n"},
        {"plain part as written", MixedMail("Bericht", {TextPart("text/plain", "a <b> c\r\n&auml;")}),
         "a <b> c\r\n&auml;\r\n"},
        {"html part", MixedMail("Bericht", {TextPart("text/html", "<div>Hallo</div><div>Pegel</div>")}),
         "Hallo\r\nPegel\r\n"},
        {"html body", SinglePartMail("TEXT/HTML; charset=utf-8", "<p>Lage <b>kritisch</b>, h&auml;lt"),
         "Lage kritisch, hält\r\n"},
        {"html body with a charset of its own",
         SinglePartMail("text/html; charset=utf-8", "<meta charset=\"iso-8859-1\"><p>Grüße</p>"), "Grüße\r\n"},
        {"blank preamble of a nested multipart",
         "From: hans@example.org\r\nTo: leitstelle@example.org\r\nSubject: Bericht\r\nMIME-Version: 1.0\r\n"
         "Content-Type: multipart/mixed; boundary=\"aussen\"\r\n\r\n"
         "--aussen\r\nContent-Type: multipart/alternative; boundary=\"innen\"\r\n\r\n"
         "\r\n"
         "--innen\r\n" +
             TextPart("text/plain", "Pegel steigt") +
             "\r\n--innen\r\n" + TextPart("text/html", "<p>Pegel <b>steigt</b></p>") +
             "\r\n--innen--\r\n--aussen\r\n" + AttachmentPart("plan.pdf", kInhalt1) + "\r\n--aussen--\r\n",
         "Pegel steigt\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Db->Sql("DELETE FROM LF_NACHRICHTEN WHERE ADD_USER='DiraVid';");
        const TAuswertung result = Evaluate(c.mail);
        ASSERT_EQ(result.Ergebnis, E::Abgelegt) << result.Grund;
        EXPECT_EQ(Filed("INHALT"), (std::vector<std::string>{"Bericht\r###\r" + c.inhalt}));
    }
}

TEST_F(MessageEvaluationTest, BlankTextIsNoText) {
    const TAuswertung result = Evaluate(PlainMail("hans@example.org", "Leer", " \r\n\t\r\n"));
    EXPECT_EQ(result.Ergebnis, E::Abgewiesen);
    EXPECT_EQ(result.Grund, "weder Text noch Anhang");
    EXPECT_TRUE(Filed("ID").empty());
}

TEST_F(MessageEvaluationTest, SubjectLosesLeadingMarkersAndControls) {
    struct Case {
        std::string subject;  // as in the header
        std::string filed;    // first line of the journal text
    };
    const std::vector<Case> cases = {
        {"Software: Update", "Software: Update"},
        {"Hardware: Ausfall", "Hardware: Ausfall"},
        {"AW: Re: WG: Software: Update", "Software: Update"},
        // "Lage", CR, "###", CR, "Ende": would forge the separator of subject and text.
        {"=?utf-8?b?TGFnZQ0jIyMNRW5kZQ==?=", "Lage ### Ende"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.subject);
        Db->Sql("DELETE FROM LF_NACHRICHTEN WHERE ADD_USER='DiraVid';");
        const TAuswertung result = Evaluate(PlainMail("hans@example.org", c.subject, "Text"));
        ASSERT_EQ(result.Ergebnis, E::Abgelegt) << result.Grund;
        EXPECT_EQ(Filed("INHALT"), (std::vector<std::string>{c.filed + "\r###\rText\r\n"}));
    }
}

TEST_F(MessageEvaluationTest, MailWithAttachmentsButNoTextIsFiledWithAnEmptyText) {
    struct Case {
        std::string name;
        std::vector<std::string> parts;
        std::vector<std::string> stored;  // attachment files of the message
    };
    const std::vector<Case> cases = {
        {"fax alone", {AttachmentPart("fax.pdf", kInhalt1)}, {"fax.pdf"}},
        {"empty text part and a pdf", {TextPart("text/plain", ""), AttachmentPart("plan.pdf", kInhalt1)}, {"plan.pdf"}},
        {"blank text part and a pdf", {TextPart("text/plain", " \r\n\t"), AttachmentPart("plan.pdf", kInhalt1)},
         {"plan.pdf"}},
        {"signed mail", {AttachmentPart("smime.p7m", kInhalt2)}, {"smime.p7m"}},
        {"forwarded mail alone",
         {"Content-Type: message/rfc822\r\nContent-Disposition: attachment; filename=\"alt.eml\"\r\n\r\n"
          "From: a@example.org\r\nSubject: alt\r\n\r\nalter Text"},
         {"alt.eml"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Db->Sql("DELETE FROM LF_NACHRICHTEN WHERE ADD_USER='DiraVid';");
        const TAuswertung result = Evaluate(MixedMail("Nur Anhang", c.parts));
        ASSERT_EQ(result.Ergebnis, E::Abgelegt) << result.Grund;
        EXPECT_TRUE(result.Fehler.empty());
        EXPECT_EQ(Filed("INHALT"), (std::vector<std::string>{"Nur Anhang\r###\r"}));
        const std::string id = Filed("ID").at(0);
        std::vector<std::string> names;
        for (const auto& row : Select("SELECT FILENAME FROM LF_NACHRICHTEN_ANLAGEN WHERE NACHRICHT=" + id)) {
            names.push_back(row.at(0));
        }
        EXPECT_EQ(names, c.stored);
    }
    EXPECT_TRUE(ArchiveFiles().empty()) << "no text, no archive copy";
}

TEST_F(MessageEvaluationTest, MailWithNeitherTextNorAttachmentIsTurnedAway) {
    const TAuswertung result = Evaluate(MixedMail("Leer", {TextPart("text/plain", "\r\n  ")}));
    EXPECT_EQ(result.Ergebnis, E::Abgewiesen);
    EXPECT_EQ(result.Grund, "weder Text noch Anhang");
    EXPECT_TRUE(Filed("ID").empty());
    EXPECT_TRUE(ArchiveFiles().empty());
}

TEST_F(MessageEvaluationTest, EveryOutcomeIsLoggedWithItsReason) {
    struct Case {
        std::string name;
        std::vector<std::pair<std::string, std::string>> settings;  // [Maileingang] key, value
        std::string mail;
        E ergebnis;
        std::string line;  // a whole log entry: level name and text
    };
    const std::string von = "Nachricht von hans@example.org Betreff ";
    const std::vector<Case> cases = {
        {"filed", {}, PlainMail("hans@example.org", "Lage", "Text"), E::Abgelegt,
         "Hinweis   | " + von + "Lage wird ausgewertet."},
        {"subject gate", {{"Betreff", "1"}}, PlainMail("hans@example.org", "Lage", "Text"), E::Abgewiesen,
         "Hinweis   | " + von + "Lage wird nicht übernommen: keine Lagen-ID im Betreff."},
        {"neither text nor attachment", {}, PlainMail("hans@example.org", "Leer", ""), E::Abgewiesen,
         "Hinweis   | " + von + "Leer wird nicht übernommen: weder Text noch Anhang."},
        {"no incident", {{"Lage", "99"}}, PlainMail("hans@example.org", "Lage", "Text"), E::Abgewiesen,
         "Hinweis   | " + von + "Lage wird nicht übernommen: keine Lage zum Ablegen gefunden."},
        {"failed", {{"Lage", "3 AND"}}, PlainMail("hans@example.org", "Lage", "Text"), E::Fehlgeschlagen,
         "FEHLER    | Fehler beim Auslesen der Mail: [DiraDB][MySQL] "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const char* key : {"Betreff", "Lage"}) Ini.WriteString("Maileingang", key, "");
        for (const auto& [key, value] : c.settings) Ini.WriteString("Maileingang", key, value);
        const TAuswertung result = Evaluate(c.mail);
        EXPECT_EQ(result.Ergebnis, c.ergebnis);
        EXPECT_NE(LogText().find(" | " + c.line), std::string::npos) << LogText();
    }
}

TEST_F(MessageEvaluationTest, FilesTheCleanedSubjectTextRecipientsAndArchiveCopy) {
    Ini.WriteString("Maileingang", "Sichter", "Sichter O'Brien");
    const TAuswertung result = Evaluate(
        MixedMail("AW: WG: Lagemeldung @17", {TextPart("text/plain", "Grüße\r\naus der Leitstelle.")}));
    ASSERT_EQ(result.Ergebnis, E::Abgelegt) << result.Grund;
    EXPECT_EQ(result.Lagen, (std::vector<std::string>{"3"}));
    EXPECT_TRUE(result.Fehler.empty());

    const auto rows = Select(
        "SELECT ID, LAGE, INHALT, BETREFF, VON, AN, BEZUG, ERSTBEZUG FROM LF_NACHRICHTEN WHERE ADD_USER='DiraVid'");
    ASSERT_EQ(rows.size(), 1u);
    const std::string id = rows[0][0];
    EXPECT_EQ(rows[0], (Row{id, "3", "Lagemeldung @17\r###\rGrüße\r\naus der Leitstelle.\r\n", "Maileingang",
                            "hans@example.org", "leitstelle@example.org CC: b@example.org", "17", "17"}));
    EXPECT_EQ(Select("SELECT EMPFAENGER FROM LF_NACHRICHTEN_EMPF WHERE NACHRICHT=" + id),
              (std::vector<Row>{{"Sichter O'Brien"}}));

    EXPECT_EQ(ReadFile(Home.Path() / "old" / "mail_29_01_2024_14_05_09.txt"), "Grüße\r\naus der Leitstelle.\r\n");
    const std::string log = LogText();
    EXPECT_NE(log.find("CC: b@example.org"), std::string::npos);
    EXPECT_NE(log.find("Speichere Nachricht in Lage 3"), std::string::npos);
}

TEST_F(MessageEvaluationTest, AttachmentsAreStoredPerIncidentAndRecorded) {
    Ini.WriteString("Maileingang", "Nur_Einsatzlagen", "1");
    const TAuswertung result = Evaluate(MixedMail(
        "Pläne", {TextPart("text/plain", "Anbei."), AttachmentPart("Lage#1 Plan!&.pdf", kInhalt1),
                  AttachmentPart("Lage#1 Plan!&.pdf", kInhalt2), AttachmentPart("Notiz?.txt", kInhalt1)}));
    ASSERT_EQ(result.Ergebnis, E::Abgelegt) << result.Grund;
    ASSERT_EQ(result.Lagen, (std::vector<std::string>{"3", "4"}));
    EXPECT_TRUE(result.Fehler.empty());

    const auto ids = Filed("ID");
    ASSERT_EQ(ids.size(), 2u);
    for (std::size_t k = 0; k < 2; ++k) {
        const std::string lage = result.Lagen[k];
        const std::string id = ids[k];
        SCOPED_TRACE("Lage " + lage);
        const std::string folderText = "D:\\Anlagen\\" + lage + "\\" + id + "\\";
        const std::string plan = folderText + "Lage1 Plan.pdf";
        const std::string plan2 = folderText + "Lage1 Plan_2.pdf";
        const std::string notiz = folderText + "Notiz_.txt";
        // Two attachments of one name: two files, each row naming its own.
        EXPECT_EQ(Select("SELECT PFAD, FILENAME FROM LF_NACHRICHTEN_ANLAGEN WHERE NACHRICHT=" + id + " ORDER BY ID"),
                  (std::vector<Row>{{plan, "Lage1 Plan.pdf"}, {plan2, "Lage1 Plan_2.pdf"}, {notiz, "Notiz_.txt"}}));
        EXPECT_EQ(Select("SELECT ANLAGE FROM LF_NACHRICHTEN WHERE ID=" + id), (std::vector<Row>{{"1"}}));
        const auto folder = LocalAttachments() / lage / id;
        EXPECT_EQ(ReadFile(folder / "Lage1 Plan.pdf"), "Inhalt 1");
        EXPECT_EQ(ReadFile(folder / "Lage1 Plan_2.pdf"), "Inhalt 2");
        EXPECT_EQ(ReadFile(folder / "Notiz_.txt"), "Inhalt 1");
        EXPECT_NE(LogText().find("Speichere Anhang 1 Lage1 Plan.pdf  " + plan), std::string::npos);
    }
}

TEST_F(MessageEvaluationTest, HostileAttachmentNamesStayInsideTheMessageFolder) {
    auto message = ParseMail(MixedMail("Anhänge", {TextPart("text/plain", "Anbei.")}));
    const std::vector<std::pair<std::string, std::string>> names = {
        {"../../../../tmp/boese.sh", ".._.._.._.._tmp_boese.sh"},
        {"..\\..\\boese.exe", ".._.._boese.exe"},
        {"..", "Anhang3"},
        {"", "Anhang4"},
        {"#!&", "Anhang5"},
        {"Zeile\r\nzwei.txt", "Zeile__zwei.txt"},
    };
    for (const auto& [name, stored] : names) {
        auto& part = message->MessageParts.AddTempAttachment();
        part.PrepareTempStream() << "x";
        part.FinishTempStream();
        part.FileName = name;
    }
    const TAuswertung result = AuswertenMail(Ctx, *message);
    ASSERT_EQ(result.Ergebnis, E::Abgelegt) << result.Grund;
    EXPECT_TRUE(result.Fehler.empty()) << result.Fehler.front();

    const std::string id = Filed("ID").at(0);
    const auto folder = LocalAttachments() / "3" / id;
    std::vector<std::string> stored;
    for (const auto& [name, expected] : names) stored.push_back(expected);
    std::vector<std::string> onDisk;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) onDisk.push_back(entry.path().filename().string());
    std::sort(onDisk.begin(), onDisk.end());
    std::sort(stored.begin(), stored.end());
    EXPECT_EQ(onDisk, stored);
    EXPECT_EQ(std::distance(std::filesystem::recursive_directory_iterator(LocalAttachments()),
                            std::filesystem::recursive_directory_iterator()),
              static_cast<std::ptrdiff_t>(2 + names.size()));
}

TEST_F(MessageEvaluationTest, AttachmentThatCannotBeStoredKeepsTheMessageAndTheMail) {
    // The local folder of the incident is a file, so no message folder fits in.
    WriteFile(LocalAttachments() / "3", "kein Ordner");
    const std::string mail = MixedMail("Plan", {TextPart("text/plain", "Anbei."), AttachmentPart("plan.pdf", kInhalt1)});
    const TAuswertung result = EvaluateFile(mail);
    EXPECT_EQ(result.Ergebnis, E::Abgelegt);
    EXPECT_EQ(result.Fehler.size(), 1u);
    EXPECT_EQ(Filed("ANLAGE"), (std::vector<std::string>{"0"}));
    EXPECT_TRUE(Select("SELECT ID FROM LF_NACHRICHTEN_ANLAGEN").empty());
    const std::string log = LogText();
    // The operating system's reason follows the text.
    EXPECT_NE(log.find("Fehler beim Speichern des Anhangs: Ordner " + (LocalAttachments() / "3").string() +
                       " kann nicht angelegt werden: File exists"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Betreff Plan wurde nicht vollständig abgelegt: Anhang 1 in Lage 3: "), std::string::npos);
    // Not filed whole: the mail is kept for an import once the cause is mended.
    ASSERT_EQ(result.Kopie.parent_path(), Home.Path() / "Fehler");
    EXPECT_EQ(ReadFile(result.Kopie), mail);
    EXPECT_NE(log.find("FEHLER    | Mail aufbewahrt als " + result.Kopie.string()), std::string::npos);
    // The message stays marked as half filed. Evaluated again while the
    // cause lasts, the mail is not filed a second time and leaves one copy;
    // once the cause is mended, the same mail completes the message.
    EXPECT_EQ(Filed("DIRAVID_MAIL").at(0).substr(0, 1), "~");
    const TAuswertung again = EvaluateFile(mail);
    EXPECT_EQ(again.Ergebnis, E::Abgelegt);
    EXPECT_EQ(again.Fehler.size(), 1u);
    EXPECT_EQ(FilesIn("Fehler").size(), 1u);
    std::filesystem::remove(LocalAttachments() / "3");
    const TAuswertung mended = EvaluateFile(mail);
    EXPECT_EQ(mended.Ergebnis, E::Abgelegt);
    EXPECT_TRUE(mended.Fehler.empty());
    EXPECT_EQ(mended.Vervollstaendigt, std::vector<std::string>{"3"});
    EXPECT_EQ(Filed("ANLAGE"), (std::vector<std::string>{"1"}));
    const std::string id = Filed("ID").at(0);
    EXPECT_EQ(Select("SELECT FILENAME FROM LF_NACHRICHTEN_ANLAGEN WHERE NACHRICHT=" + id),
              (std::vector<std::vector<std::string>>{{"plan.pdf"}}));
    EXPECT_EQ(ReadFile(LocalAttachments() / "3" / id / "plan.pdf"), "Inhalt 1");
    EXPECT_NE(LogText().find("Betreff Plan ist in Lage 3 als Nachricht mit ID " + id +
                             " nur zum Teil abgelegt; die Ablage wird vervollständigt."),
              std::string::npos);
}

TEST_F(MessageEvaluationTest, AttachmentFolderThatMayNotBeUsedFailsTheMailWithAttachments) {
    Ctx.getLFPath = []() -> std::string { throw EDiraError(TErrorKind::ekLocal, "Der Speicherort für Anhänge X:\\ ist nicht vorhanden."); };
    const std::string mail = MixedMail("Plan", {TextPart("text/plain", "Anbei."), AttachmentPart("plan.pdf", kInhalt1)});
    const TAuswertung failed = EvaluateFile(mail);
    EXPECT_EQ(failed.Ergebnis, E::Fehlgeschlagen);
    EXPECT_EQ(failed.Grund, "Der Speicherort für Anhänge X:\\ ist nicht vorhanden.");
    EXPECT_FALSE(failed.Dauerhaft) << "the folder may come back";
    EXPECT_TRUE(Filed("ID").empty());
    EXPECT_NE(LogText().find("FEHLER    | Fehler beim Auslesen der Mail: Der Speicherort für Anhänge X:\\ ist nicht "
                             "vorhanden."),
              std::string::npos);
    EXPECT_EQ(failed.Kopie.parent_path(), Home.Path() / "Fehler");
    // A mail without attachments does not need the folder.
    EXPECT_EQ(Evaluate(PlainMail("hans@example.org", "Meldung", "Text")).Ergebnis, E::Abgelegt);
}

TEST_F(MessageEvaluationTest, UnreadableTargetsFailTheMailWithoutFilingIt) {
    Ini.WriteString("Maileingang", "Lage", "drei");
    const TAuswertung result = Evaluate(PlainMail("hans@example.org", "Meldung", "Text"));
    EXPECT_EQ(result.Ergebnis, E::Fehlgeschlagen);
    EXPECT_NE(result.Grund.find("[DiraDB][MySQL] "), std::string::npos) << result.Grund;
    EXPECT_FALSE(result.Dauerhaft) << "a database failure may pass";
    EXPECT_TRUE(Filed("ID").empty());
    EXPECT_NE(LogText().find("Fehler beim Auslesen der Mail: [DiraDB][MySQL] "), std::string::npos);
}

TEST_F(MessageEvaluationTest, MailFailsWhenNoIncidentGotItsMessage) {
    Ini.WriteString("Maileingang", "Nur_Einsatzlagen", "1");
    Db->Sql("ALTER TABLE LF_NACHRICHTEN DROP COLUMN ART;");
    const TAuswertung result = Evaluate(PlainMail("hans@example.org", "Meldung", "Text"));
    EXPECT_EQ(result.Ergebnis, E::Fehlgeschlagen);
    EXPECT_TRUE(result.Lagen.empty());
    EXPECT_FALSE(result.Dauerhaft) << "a database failure may pass";
    EXPECT_EQ(result.Fehler.size(), 2u);
    EXPECT_NE(LogText().find("FEHLER    | Nachricht von hans@example.org Betreff Meldung konnte in keine Lage "
                             "übernommen werden: Lage 3: [DiraDB][MySQL] "),
              std::string::npos);
}

}  // namespace
}  // namespace kdv::testing
