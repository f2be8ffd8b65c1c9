// A mail from a file is filed once per incident: evaluated again after a
// filing whose reply was lost (or a stop before the mailbox learned of it),
// it adds nothing where it already is, and it is still filed where it is not.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "incoming/mail_import.h"
#include "incoming/message_evaluation.h"
#include "incoming/spooled_mail.h"
#include "incoming_test_fixture.h"
#include "platform/sha256.h"
#include "support/case_name.h"

namespace kdv::testing {
namespace {

using E = TAuswertungsErgebnis;

// Text and attachment, so a second filing would show in every table.
std::string MailWithAttachment(const std::string& messageId) {
    return "From: hans@example.org\r\nTo: leitstelle@example.org\r\nSubject: Meldung\r\nMessage-ID: <" + messageId +
           "@example.org>\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"g\"\r\n\r\n"
           "--g\r\nContent-Type: text/plain\r\n\r\nPegel steigt.\r\n"
           "--g\r\nContent-Type: application/pdf\r\nContent-Transfer-Encoding: base64\r\n"
           "Content-Disposition: attachment; filename=\"plan.pdf\"\r\n\r\nSW5oYWx0IDE=\r\n--g--\r\n";
}

std::string Sha256Hex(const std::string& bytes) {
    TSha256 hash;
    hash.Update(bytes);
    return hash.FinishHex();
}

class FiledOnceTest : public IncomingDbTest {
protected:
    void SetUp() override {
        IncomingDbTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        // Both active incidents receive the mail; a reviewer row per message.
        Ini.WriteString("Maileingang", "Nur_Einsatzlagen", "1");
        Ini.WriteString("Maileingang", "Sichter", "Sichtung");
    }

    std::filesystem::path WriteMail(const std::string& name, const std::string& content) {
        const auto path = Home.Path() / name;
        WriteFile(path, content);
        return path;
    }

    // As a mailbox pass hands a spooled mail over.
    TAuswertung EvaluateFile(const std::filesystem::path& path) {
        TMailMessage message;
        ReadSpooledMail(message, path);
        return AuswertenMail(Ctx, message);
    }

    // Rows per incident, as "Lage:messages:reviewer rows:attachment rows".
    std::vector<std::string> Counts() {
        std::vector<std::string> counts;
        for (const auto& row : Select(
                 "SELECT N.LAGE, COUNT(*), "
                 "(SELECT COUNT(*) FROM LF_NACHRICHTEN_EMPF E WHERE E.LAGE=N.LAGE), "
                 "(SELECT COUNT(*) FROM LF_NACHRICHTEN_ANLAGEN A WHERE A.LAGE=N.LAGE) "
                 "FROM LF_NACHRICHTEN N WHERE N.ADD_USER='DiraVid' GROUP BY N.LAGE ORDER BY N.LAGE")) {
            counts.push_back(row.at(0) + ":" + row.at(1) + ":" + row.at(2) + ":" + row.at(3));
        }
        return counts;
    }

    std::size_t Occurrences(const std::string& text) {
        const std::string log = LogText();
        std::size_t count = 0;
        for (std::size_t pos = log.find(text); pos != std::string::npos; pos = log.find(text, pos + 1)) ++count;
        return count;
    }
};

enum class TRoad { File, Import, Memory };

struct TAttempt {
    int mail;  // which mail text: 0 or 1 (the same text, another Message-ID)
    int file;  // which file it is written to
    TRoad road;
};

struct TFiledOnceCase {
    std::string name;
    std::vector<TAttempt> attempts;
    std::vector<std::string> counts;  // see Counts()
    std::size_t skipped;              // level-5 lines of a mail already in an incident
};

class FiledOnce : public FiledOnceTest, public ::testing::WithParamInterface<TFiledOnceCase> {};

TEST_P(FiledOnce, LandsOncePerIncident) {
    const TFiledOnceCase& c = GetParam();
    const std::string mails[] = {MailWithAttachment("eins"), MailWithAttachment("zwei")};
    for (const TAttempt& v : c.attempts) {
        const auto path = WriteMail("mail" + std::to_string(v.file) + ".eml", mails[v.mail]);
        TAuswertung result;
        if (v.road == TRoad::Import) {
            result = ImportMailDatei(Ctx, path).Auswertung;
        } else if (v.road == TRoad::File) {
            result = EvaluateFile(path);
        } else {
            auto message = ParseMail(mails[v.mail]);
            result = AuswertenMail(Ctx, *message);
        }
        // A mail already there counts as filed: the mailbox lets it go.
        EXPECT_EQ(result.Ergebnis, E::Abgelegt) << result.Grund;
        EXPECT_EQ(result.Lagen, (std::vector<std::string>{"3", "4"}));
        EXPECT_TRUE(result.Fehler.empty());
    }
    EXPECT_EQ(Counts(), c.counts);
    EXPECT_EQ(Occurrences("bereits als Nachricht mit ID"), c.skipped);
}

const TFiledOnceCase kFiledOnceCases[] = {
    {"SameFileEvaluatedAgain", {{0, 0, TRoad::File}, {0, 0, TRoad::File}}, {"3:1:1:1", "4:1:1:1"}, 2},
    {"SameMailSpooledAgainToAnotherFile", {{0, 0, TRoad::File}, {0, 1, TRoad::File}, {0, 2, TRoad::File}},
     {"3:1:1:1", "4:1:1:1"}, 4},
    {"SameFileImportedTwice", {{0, 0, TRoad::Import}, {0, 0, TRoad::Import}}, {"3:1:1:1", "4:1:1:1"}, 2},
    {"ImportedAfterAMailboxFiledIt", {{0, 0, TRoad::File}, {0, 1, TRoad::Import}}, {"3:1:1:1", "4:1:1:1"}, 2},
    {"TwoMailsWithTheSameText", {{0, 0, TRoad::File}, {1, 1, TRoad::File}}, {"3:2:2:2", "4:2:2:2"}, 0},
    // Without a raw file there is nothing to know the mail by.
    {"InMemoryMailFiledEachTime", {{0, 0, TRoad::Memory}, {0, 0, TRoad::Memory}}, {"3:2:2:2", "4:2:2:2"}, 0},
};

INSTANTIATE_TEST_SUITE_P(Table, FiledOnce, ::testing::ValuesIn(kFiledOnceCases),
                         [](const ::testing::TestParamInfo<TFiledOnceCase>& info) { return info.param.name; });

TEST_F(FiledOnceTest, ReplyLostInOneIncidentFilesItInTheOtherOnly) {
    const std::string mail = MailWithAttachment("eins");
    const auto path = WriteMail("mail.eml", mail);
    // The server committed the message for incident 3, but its reply with
    // the new ID never came back: the row is there, nothing else.
    Db->Sql("INSERT INTO LF_NACHRICHTEN (ID, LAGE, ADD_USER, BETREFF, DIRAVID_MAIL) VALUES (40, 3, 'DiraVid', "
            "'Meldung', '" +
            Sha256Hex(mail) + "');");

    const TAuswertung result = EvaluateFile(path);
    EXPECT_EQ(result.Ergebnis, E::Abgelegt) << result.Grund;
    EXPECT_EQ(result.Lagen, (std::vector<std::string>{"3", "4"}));
    EXPECT_EQ(Counts(), (std::vector<std::string>{"3:1:0:0", "4:1:1:1"}));
    EXPECT_EQ(Select("SELECT DIRAVID_MAIL FROM LF_NACHRICHTEN WHERE LAGE=4 AND ADD_USER='DiraVid'"),
              (std::vector<std::vector<std::string>>{{Sha256Hex(mail)}}));
    EXPECT_EQ(Occurrences("Hinweis   | Nachricht von hans@example.org Betreff Meldung ist in Lage 3 bereits als "
                          "Nachricht mit ID 40 abgelegt und wird dort nicht erneut gespeichert."),
              1u);
    EXPECT_EQ(Occurrences("bereits als Nachricht mit ID"), 1u);
}

TEST_F(FiledOnceTest, FailedLookupKeepsTheMailForTheNextPass) {
    const auto path = WriteMail("mail.eml", MailWithAttachment("eins"));
    Db->Sql("ALTER TABLE LF_NACHRICHTEN DROP INDEX DIRAVID_MAIL_IDX, DROP COLUMN DIRAVID_MAIL;");

    const TAuswertung result = EvaluateFile(path);
    EXPECT_EQ(result.Ergebnis, E::Fehlgeschlagen);
    EXPECT_FALSE(result.Dauerhaft) << "a database failure may pass";
    EXPECT_TRUE(result.Lagen.empty());
    EXPECT_TRUE(Counts().empty());
    EXPECT_EQ(Occurrences("FEHLER    | Fehler bei Erstellen eines Eintrags: "), 2u);
}

}  // namespace
}  // namespace kdv::testing
