// Journal messages, reviewer rows, reply links and attachment rows written
// for an accepted mail, against the real server.
#include "incoming/message_filing.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "incoming_test_fixture.h"

namespace kdv::testing {
namespace {

using Row = std::vector<std::string>;

class MessageFilingTest : public IncomingDbTest {};

TEST_F(MessageFilingTest, WritesTheJournalRowAsTheApplicationReadsIt) {
    const std::string text = "Pegel 4,20 m\r\nZeile mit ### darin\r\n";
    const std::string id =
        InsertNachricht(Ctx, "3", "hans@example.org", "leitstelle@example.org CC: b@example.org", text, "Lage Nord");
    ASSERT_FALSE(id.empty());

    const auto rows = Select(
        "SELECT ID, ADD_USER, ADD_FUNKTION, LAGE, ALLGEMEIN, INHALT, BETREFF, VON, AN, ART, BEZUG, ERSTBEZUG, "
        "ANLAGE, DIRAVID_STATUS, DIRAVID_MAIL FROM LF_NACHRICHTEN WHERE ADD_USER='DiraVid'");
    EXPECT_EQ(rows, (std::vector<Row>{{id, "DiraVid", "DiraVid", "3", "0",
                                       "Lage Nord\r###\rPegel 4,20 m\r\nZeile mit ### darin\r\n", "Maileingang",
                                       "hans@example.org", "leitstelle@example.org CC: b@example.org", "E-Mail",
                                       "NULL", "NULL", "0", "NULL", "NULL"}}));
    EXPECT_NE(LogText().find("Nachricht mit ID " + id + " gespeichert."), std::string::npos);
    // Without a reviewer setting there is no delivery row.
    EXPECT_TRUE(Select("SELECT ID FROM LF_NACHRICHTEN_EMPF").empty());
}

TEST_F(MessageFilingTest, MailHashFindsTheMessageInItsOwnIncidentOnly) {
    const std::string hash(64, 'a');
    const std::string id = InsertNachricht(Ctx, "3", "a@example.org", "b@example.org", "x\r\n", "s", nullptr, hash);
    ASSERT_FALSE(id.empty());
    EXPECT_EQ(Select("SELECT DIRAVID_MAIL FROM LF_NACHRICHTEN WHERE ID=" + id), (std::vector<Row>{{hash}}));
    const auto found = FiledMessage(Ctx, "3", hash);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->Id, id);
    EXPECT_TRUE(found->Vollstaendig);
    EXPECT_FALSE(FiledMessage(Ctx, "4", hash).has_value());
    EXPECT_FALSE(FiledMessage(Ctx, "3", std::string(64, 'b')).has_value());
}

// While a mail is being filed its message is found as such, is kept from the
// outbox, and carries no reviewer row; the last step makes it whole.
TEST_F(MessageFilingTest, MessageBeingFiledIsFoundAsSuchUntilItIsMarkedWhole) {
    Ini.WriteString("Maileingang", "Sichter", "Sichtung");
    const std::string hash(64, 'c');
    const std::string id =
        InsertNachrichtInArbeit(Ctx, "3", "a@example.org", "b@example.org", "x\r\n", "s", nullptr, hash, nullptr);
    ASSERT_FALSE(id.empty());
    const std::string state = "SELECT DIRAVID_MAIL, DIRAVID_STATUS, ANLAGE FROM LF_NACHRICHTEN WHERE ID=" + id;
    EXPECT_EQ(Select(state), (std::vector<Row>{{"~" + std::string(63, 'c'), "3", "0"}}));
    EXPECT_TRUE(Select("SELECT ID FROM LF_NACHRICHTEN_EMPF").empty());
    auto found = FiledMessage(Ctx, "3", hash);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->Id, id);
    EXPECT_FALSE(found->Vollstaendig);
    EXPECT_FALSE(FiledMessage(Ctx, "4", hash).has_value());

    // An attachment row whose flag never came (a process ended between the
    // two statements) is flagged by the last step.
    Db->Sql("INSERT INTO LF_NACHRICHTEN_ANLAGEN (LAGE, NACHRICHT, PFAD, FILENAME) VALUES (3, " + id +
            ", 'D:\\\\Anlagen\\\\3\\\\" + id + "\\\\a.pdf', 'a.pdf');");
    InsertSichter(Ctx, "3", id, true);
    InsertSichter(Ctx, "3", id, true);
    SchliesseAblageAb(Ctx, id, hash);
    EXPECT_EQ(Select(state), (std::vector<Row>{{hash, "NULL", "1"}}));
    EXPECT_EQ(Select("SELECT NACHRICHT, EMPFAENGER FROM LF_NACHRICHTEN_EMPF"), (std::vector<Row>{{id, "Sichtung"}}));
    EXPECT_EQ(AttachmentRowNames(Ctx, id), std::vector<std::string>{"a.pdf"});
    found = FiledMessage(Ctx, "3", hash);
    ASSERT_TRUE(found.has_value());
    EXPECT_TRUE(found->Vollstaendig);
}

TEST_F(MessageFilingTest, CutsSenderAndRecipientsToTheirFirst199Characters) {
    std::string von(195, 'v');
    von += "@ex.org";
    // Two-byte characters: the cut counts characters, not bytes, and never
    // splits one.
    std::string an;
    for (int i = 0; i < 120; ++i) an += "ä,";
    const std::string id = InsertNachricht(Ctx, "3", von, an, "x\r\n", "s");
    ASSERT_FALSE(id.empty());

    std::string expectedAn;
    for (int i = 0; i < 99; ++i) expectedAn += "ä,";
    expectedAn += "ä";
    EXPECT_EQ(Select("SELECT VON, AN FROM LF_NACHRICHTEN WHERE ID=" + id),
              (std::vector<Row>{{von.substr(0, 199), expectedAn}}));
}

TEST_F(MessageFilingTest, ReviewerRowStoresTheSettingAsWritten) {
    struct Case {
        std::string sichter;
        std::vector<Row> expected;  // LAGE, TYP, EMPFAENGER, STATUS
    };
    const std::vector<Case> cases = {
        {"", {}},
        {"Sichter O'Brien", {{"3", "E", "Sichter O'Brien", "Ungelesen"}}},
        // Macro markers of the statement language must not eat these.
        {"S1 !Leitung & Co &Stab", {{"3", "E", "S1 !Leitung & Co &Stab", "Ungelesen"}}},
        {"sichtung@example.org", {{"3", "E", "sichtung@example.org", "Ungelesen"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sichter);
        Ini.WriteString("Maileingang", "Sichter", c.sichter);
        const std::string id = InsertNachricht(Ctx, "3", "a@example.org", "b@example.org", "x\r\n", "s");
        ASSERT_FALSE(id.empty());
        EXPECT_EQ(Select("SELECT LAGE, TYP, EMPFAENGER, STATUS FROM LF_NACHRICHTEN_EMPF WHERE NACHRICHT=" + id),
                  c.expected);
    }
}

TEST_F(MessageFilingTest, ReplyLinkFollowsTheMessageNumberInTheSubject) {
    struct Case {
        std::string betreff;
        std::string bezug;
        std::string erstBezug;
    };
    const std::vector<Case> cases = {
        {"Lagemeldung @17 Nachtrag", "17", "17"},  // answers the start of a thread
        {"Lagemeldung @18", "18", "9"},            // answers a reply: the thread's start carries over
        {"Nachfrage @99", "99", "NULL"},           // no such message in the incident
        {"Frage an hans@example.org", "NULL", "NULL"},
        {"Frage @ 17", "NULL", "NULL"},
        {"@17x", "NULL", "NULL"},
        {"@0x11", "NULL", "NULL"},  // only decimal numbers, as the server reads them
        {"@99999999999", "NULL", "NULL"},
        // Only plain digits: the server would read "+2" and "-0" as numbers
        // the subject does not show.
        {"@+17", "NULL", "NULL"},
        {"@-17", "NULL", "NULL"},
        {"@-0", "NULL", "NULL"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.betreff);
        const std::string id = InsertNachricht(Ctx, "3", "a@example.org", "b@example.org", "x\r\n", c.betreff);
        ASSERT_FALSE(id.empty());
        EXPECT_EQ(Select("SELECT BEZUG, ERSTBEZUG FROM LF_NACHRICHTEN WHERE ID=" + id),
                  (std::vector<Row>{{c.bezug, c.erstBezug}}));
    }
    // The number names a message of the same incident only.
    const std::string other = InsertNachricht(Ctx, "4", "a@example.org", "b@example.org", "x\r\n", "Re @18");
    EXPECT_EQ(Select("SELECT BEZUG, ERSTBEZUG FROM LF_NACHRICHTEN WHERE ID=" + other),
              (std::vector<Row>{{"18", "NULL"}}));
    EXPECT_EQ(LogText().find("FEHLER"), std::string::npos) << LogText();
}

TEST_F(MessageFilingTest, FailedReviewerRowKeepsTheMessageAndItsId) {
    Db->Sql("DROP TABLE LF_NACHRICHTEN_EMPF;");
    Ini.WriteString("Maileingang", "Sichter", "Sichter");
    std::string fehler;
    const std::string id = InsertNachricht(Ctx, "3", "a@example.org", "b@example.org", "x\r\n", "s", &fehler);
    ASSERT_FALSE(id.empty());
    EXPECT_EQ(Filed("ID"), (std::vector<std::string>{id}));
    EXPECT_NE(fehler.find("LF_NACHRICHTEN_EMPF"), std::string::npos) << fehler;
    EXPECT_NE(LogText().find("Fehler bei Erstellen eines Eintrags: [DiraDB][MySQL] "), std::string::npos);
}

TEST_F(MessageFilingTest, FailedMessageRowYieldsNoId) {
    struct Case {
        std::string lage;
        std::string sql;  // run before the call
    };
    const std::vector<Case> cases = {
        {"3; DELETE FROM LF_LAGEN", ""},  // an ID that is no number never reaches the server
        {"3", "ALTER TABLE LF_NACHRICHTEN DROP COLUMN ART;"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lage);
        if (!c.sql.empty()) Db->Sql(c.sql);
        std::string fehler;
        EXPECT_EQ(InsertNachricht(Ctx, c.lage, "a@example.org", "b@example.org", "x\r\n", "s", &fehler), "");
        EXPECT_FALSE(fehler.empty());
    }
    EXPECT_TRUE(Filed("ID").empty());
    EXPECT_EQ(Select("SELECT COUNT(*) FROM LF_LAGEN"), (std::vector<Row>{{"3"}}));
    EXPECT_NE(LogText().find("Fehler bei Erstellen eines Eintrags: "), std::string::npos);
}

TEST_F(MessageFilingTest, AttachmentRowRecordsPathAndNameAndFlagsTheMessage) {
    const std::string id = InsertNachricht(Ctx, "3", "a@example.org", "b@example.org", "x\r\n", "s");
    const std::string pfad = "D:\\Anlagen\\3\\" + id + "\\O'Neil Plan v2.pdf";
    EXPECT_TRUE(InsertAnlage(Ctx, id, "3", pfad));
    EXPECT_EQ(Select("SELECT LAGE, NACHRICHT, PFAD, FILENAME FROM LF_NACHRICHTEN_ANLAGEN"),
              (std::vector<Row>{{"3", id, pfad, "O'Neil Plan v2.pdf"}}));
    EXPECT_EQ(Select("SELECT ANLAGE FROM LF_NACHRICHTEN WHERE ID=" + id), (std::vector<Row>{{"1"}}));
}

TEST_F(MessageFilingTest, FailedAttachmentRowIsLoggedAndLeavesTheFlag) {
    const std::string id = InsertNachricht(Ctx, "3", "a@example.org", "b@example.org", "x\r\n", "s");
    Db->Sql("DROP TABLE LF_NACHRICHTEN_ANLAGEN;");
    EXPECT_FALSE(InsertAnlage(Ctx, id, "3", "D:\\Anlagen\\3\\" + id + "\\a.pdf"));
    EXPECT_EQ(Select("SELECT ANLAGE FROM LF_NACHRICHTEN WHERE ID=" + id), (std::vector<Row>{{"0"}}));
    EXPECT_NE(LogText().find("Fehler bei Speichern des Anhangs: [DiraDB][MySQL] "), std::string::npos);
}

}  // namespace
}  // namespace kdv::testing
