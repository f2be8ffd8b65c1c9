// A database server that goes away while a mail is evaluated: the mail is
// reported as failed when it reached no incident, so the mailbox keeps it,
// and evaluating it again once the server is back files it exactly once.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "incoming/message_evaluation.h"
#include "incoming_test_fixture.h"

namespace kdv::testing {
namespace {

using E = TAuswertungsErgebnis;

class DatabaseOutageTest : public IncomingDbTest {
protected:
    void SetUp() override {
        KDV_REQUIRE_DB_SERVER();
        Server.emplace();
        OpenDatabase(&Server->Info());
        // Both active incidents receive the mail, so a half-done filing shows.
        Ini.WriteString("Maileingang", "Nur_Einsatzlagen", "1");
    }

    // Filed messages per incident, as "Lage:count".
    std::vector<std::string> Counts() {
        std::vector<std::string> counts;
        for (const auto& row : Select("SELECT LAGE, COUNT(*) FROM LF_NACHRICHTEN WHERE ADD_USER='DiraVid' "
                                      "GROUP BY LAGE ORDER BY LAGE")) {
            counts.push_back(row.at(0) + ":" + row.at(1));
        }
        return counts;
    }

    std::optional<TPrivateDbServer> Server;
    bool StoppedByClock = false;
};

const std::string kMail =
    "From: hans@example.org\r\nTo: leitstelle@example.org\r\nSubject: Meldung\r\nMIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"g\"\r\n\r\n"
    "--g\r\nContent-Type: text/plain\r\n\r\nPegel steigt.\r\n"
    "--g\r\nContent-Type: application/pdf\r\nContent-Transfer-Encoding: base64\r\n"
    "Content-Disposition: attachment; filename=\"plan.pdf\"\r\n\r\nSW5oYWx0IDE=\r\n--g--\r\n";

TEST_F(DatabaseOutageTest, MailThatReachedNoIncidentFailsAndIsFiledOnceLater) {
    struct Case {
        std::string name;
        bool stopBeforeEvaluation;  // else: stop once the targets are known
    };
    const std::vector<Case> cases = {
        {"server gone before the target query", true},
        {"server gone before the first journal message", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Db->Sql("DELETE FROM LF_NACHRICHTEN WHERE ADD_USER='DiraVid';");
        // A connection that was working when the server went away.
        ASSERT_EQ(Select("SELECT COUNT(*) FROM LF_LAGEN").size(), 1u);
        if (c.stopBeforeEvaluation) {
            Server->Stop();
        } else {
            // The archive copy's time stamp is read after the targets and
            // before the first journal message.
            Clock.OnNow = [this] {
                if (!StoppedByClock) Server->Stop();
                StoppedByClock = true;
            };
        }
        {
            auto message = ParseMail(kMail);
            const TAuswertung result = AuswertenMail(Ctx, *message);
            EXPECT_EQ(result.Ergebnis, E::Fehlgeschlagen);
            EXPECT_FALSE(result.Dauerhaft) << "the mail stays until the server is back";
            EXPECT_TRUE(result.Lagen.empty());
            EXPECT_NE(result.Grund.find("[DiraDB][MySQL] "), std::string::npos) << result.Grund;
        }
        Clock.OnNow = nullptr;
        StoppedByClock = false;
        Server->Start();

        auto message = ParseMail(kMail);
        const TAuswertung result = AuswertenMail(Ctx, *message);
        EXPECT_EQ(result.Ergebnis, E::Abgelegt) << result.Grund;
        EXPECT_EQ(Counts(), (std::vector<std::string>{"3:1", "4:1"}));
        EXPECT_EQ(Select("SELECT COUNT(*) FROM LF_NACHRICHTEN_ANLAGEN"), (std::vector<std::vector<std::string>>{{"2"}}));
        Db->Sql("DELETE FROM LF_NACHRICHTEN_ANLAGEN;");
    }
}

TEST_F(DatabaseOutageTest, MailFiledIntoSomeIncidentsCountsAsFiled) {
    // The folder is looked up once before anything is filed, and again for
    // the first attachment, after the first incident's journal message; the
    // server goes away right there.
    int lookups = 0;
    Ctx.getLFPath = [this, &lookups] {
        if (++lookups == 2) Server->Stop();
        return LFPath;
    };
    {
        auto message = ParseMail(kMail);
        const TAuswertung result = AuswertenMail(Ctx, *message);
        EXPECT_EQ(result.Ergebnis, E::Abgelegt);
        EXPECT_EQ(result.Lagen, (std::vector<std::string>{"3"}));
        EXPECT_EQ(result.Fehler.size(), 2u);  // the attachment row, the second incident
    }
    Server->Start();
    // Filed mails leave the mailbox, so nothing reaches the first incident twice.
    EXPECT_EQ(Counts(), (std::vector<std::string>{"3:1"}));
    const std::string log = LogText();
    EXPECT_NE(log.find("Fehler bei Speichern des Anhangs: [DiraDB][MySQL] "), std::string::npos);
    EXPECT_NE(log.find("Fehler bei Erstellen eines Eintrags: [DiraDB][MySQL] "), std::string::npos);
}

}  // namespace
}  // namespace kdv::testing
