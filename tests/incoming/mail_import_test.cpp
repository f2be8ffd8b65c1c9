// Importing mail files: one line per file, the file left as it is.
#include "incoming/mail_import.h"

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "incoming_test_fixture.h"

namespace kdv::testing {
namespace {

using E = TAuswertungsErgebnis;

class MailImportTest : public IncomingDbTest {};

TEST_F(MailImportTest, PrintsOneLinePerFileAndLeavesTheFileAlone) {
    Ctx.Whitelist = TSenderRules({"hans@example.org"});
    Ini.WriteString("Maileingang", "Nur_Einsatzlagen", "1");
    struct Case {
        std::string file;
        std::string content;  // empty: the file does not exist
        E ergebnis;
        std::string line;  // after "<path>: "
    };
    // Nested deeper than the reader follows: a mail it cannot read.
    std::string tiefe = "From: hans@example.org\r\nSubject: x\r\nContent-Type: multipart/mixed; boundary=\"b0\"\r\n\r\n";
    for (int i = 0; i < 200; ++i) {
        tiefe += "--b" + std::to_string(i) + "\r\nContent-Type: multipart/mixed; boundary=\"b" + std::to_string(i + 1) +
                 "\"\r\n\r\n";
    }
    const std::vector<Case> cases = {
        {"gut.eml", PlainMail("hans@example.org", "Meldung", "Text"), E::Abgelegt, "abgelegt in Lage 3, 4"},
        {"fremd.eml", PlainMail("fremd@example.org", "Meldung", "Text"), E::Abgewiesen,
         "nicht abgelegt: Absender fremd@example.org nicht auf der Whitelist"},
        {"fehlt.eml", "", E::Fehlgeschlagen, "fehlgeschlagen: Datei kann nicht gelesen werden: "},
        // Unreadable, but kept whole: nothing is lost when it leaves the mailbox.
        {"kaputt.eml", tiefe, E::Abgewiesen,
         "nicht abgelegt: Mail kann nicht gelesen werden: Die Nachricht ist zu tief verschachtelt. (aufbewahrt als "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const auto path = Home.Path() / c.file;
        if (!c.content.empty()) WriteFile(path, c.content);
        const TImportErgebnis result = ImportMailDatei(Ctx, path);
        EXPECT_EQ(result.Auswertung.Ergebnis, c.ergebnis);
        EXPECT_EQ(result.Zeile.rfind(path.string() + ": " + c.line, 0), 0u) << result.Zeile;
        if (!c.content.empty()) {
            EXPECT_EQ(ReadFile(path), c.content);
        }
    }
    EXPECT_EQ(Filed("LAGE"), (std::vector<std::string>{"3", "4"}));
    const std::string log = LogText();
    EXPECT_NE(log.find("FEHLER    | Mail " + (Home.Path() / "fehlt.eml").string() + " kann nicht importiert werden: "),
              std::string::npos);
    EXPECT_NE(log.find("FEHLER    | Mail kann nicht gelesen werden: Die Nachricht ist zu tief verschachtelt."),
              std::string::npos);
    EXPECT_NE(log.find("FEHLER    | Mail aufbewahrt als " + (Home.Path() / "Fehler" / "").string()), std::string::npos);
}

// A mail that came while no incident was active is kept; imported once the
// incident exists, the kept copy is filed, and only once.
TEST_F(MailImportTest, TurnedAwayMailIsFiledFromItsKeptCopyOnceTheIncidentExists) {
    Db->Sql("UPDATE LF_LAGEN SET AKTIV=0;");
    const auto path = Home.Path() / "eingang.eml";
    WriteFile(path, PlainMail("hans@example.org", "Pegel", "Steigt."));
    const TImportErgebnis turnedAway = ImportMailDatei(Ctx, path);
    ASSERT_EQ(turnedAway.Auswertung.Ergebnis, E::Abgewiesen);
    const auto kept = turnedAway.Auswertung.Kopie;
    ASSERT_EQ(kept.parent_path(), Home.Path() / "Abgewiesen");
    EXPECT_EQ(turnedAway.Zeile,
              path.string() + ": nicht abgelegt: keine Lage zum Ablegen gefunden (aufbewahrt als " + kept.string() + ")");

    Db->Sql("UPDATE LF_LAGEN SET AKTIV=1 WHERE ID=3;");
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const TImportErgebnis filed = ImportMailDatei(Ctx, kept);
        EXPECT_EQ(filed.Zeile, kept.string() + (round == 0 ? ": abgelegt in Lage 3"
                                                           : ": schon abgelegt in Lage 3, nichts hinzugefügt"));
        EXPECT_EQ(Filed("INHALT"), (std::vector<std::string>{"Pegel\r###\rSteigt.\r\n"}));
    }
    EXPECT_TRUE(std::filesystem::exists(kept)) << "left as it is, for the clean-up";
}

TEST(ImportZeileTest, NamesTheOutcome) {
    TAuswertung failed;
    failed.Ergebnis = E::Fehlgeschlagen;
    failed.Grund = "[DiraDB][MySQL] Lost connection";
    EXPECT_EQ(ImportZeile("a.eml", failed), "a.eml: fehlgeschlagen: [DiraDB][MySQL] Lost connection");
    TAuswertung filed;
    filed.Ergebnis = E::Abgelegt;
    filed.Lagen = {"7"};
    EXPECT_EQ(ImportZeile("/x/b.eml", filed), "/x/b.eml: abgelegt in Lage 7");
    filed.Lagen = {"3", "4"};
    filed.Fehler = {"Anhang 1 in Lage 3: voll", "Lage 4: weg"};
    filed.Kopie = "/h/Fehler/ab.eml";
    EXPECT_EQ(ImportZeile("c.eml", filed),
              "c.eml: unvollständig abgelegt in Lage 3, 4: Anhang 1 in Lage 3: voll; Lage 4: weg (aufbewahrt als "
              "/h/Fehler/ab.eml)");
    EXPECT_TRUE(NichtVollstaendig(filed));
    TAuswertung unmarked;
    unmarked.Ergebnis = E::Abgelegt;
    unmarked.Lagen = {"3"};
    unmarked.FiledUnmarked = true;
    EXPECT_EQ(ImportZeile("d.eml", unmarked),
              "d.eml: abgelegt in Lage 3 (ohne Spalte DIRAVID_MAIL: ein erneuter Import dieser Datei wird nicht als "
              "schon abgelegt erkannt)");
}

}  // namespace
}  // namespace kdv::testing
