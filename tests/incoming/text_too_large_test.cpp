// A text the database cannot take fails the mail for good, with a line that
// says why, instead of coming back in every pass; the raw mail is kept.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "incoming/mail_import.h"
#include "mail/mail_limits.h"
#include "incoming_test_fixture.h"

namespace kdv::testing {
namespace {

struct TTooLargeCase {
    std::string name;
    // Run on the fixture's own database before the import; empty for none.
    std::string schemaChange;
    // Bytes of text; 0: one more than the server takes in a statement.
    std::size_t textBytes;
    std::string grund;
};

std::ostream& operator<<(std::ostream& out, const TTooLargeCase& c) { return out << c.name; }

class TextTooLargeTest : public IncomingDbTest, public ::testing::WithParamInterface<TTooLargeCase> {};

TEST_P(TextTooLargeTest, FailsForGoodAndKeepsTheMail) {
    const TTooLargeCase& c = GetParam();
    Conn.Open();
    if (!c.schemaChange.empty()) Db->Sql(c.schemaChange);
    const std::size_t bytes = c.textBytes != 0 ? c.textBytes : static_cast<std::size_t>(Conn.MaxStatementBytes()) + 1;
    ASSERT_GT(bytes, 1u);
    if (bytes > kMaxMessageTextBytes) GTEST_SKIP() << "the server takes more than the reader reads of one mail";
    // Short lines: line ends are the part of a text that the statement keeps
    // as they stand, so the text's own size is what counts.
    std::string text;
    const std::string line = "Pegel 4,20 m\r\n";
    text.reserve(bytes + line.size());
    while (text.size() < bytes) text += line;
    const auto path = Home.Path() / "gross.eml";
    WriteFile(path, PlainMail("hans@example.org", "Meldung", text));
    text = std::string();

    const TImportErgebnis result = ImportMailDatei(Ctx, path);

    EXPECT_EQ(result.Auswertung.Ergebnis, TAuswertungsErgebnis::Fehlgeschlagen);
    EXPECT_TRUE(result.Auswertung.Dauerhaft);
    EXPECT_NE(result.Auswertung.Grund.find(c.grund), std::string::npos) << result.Auswertung.Grund;
    EXPECT_EQ(result.Auswertung.Kopie.parent_path(), Home.Path() / "Fehler");
    EXPECT_TRUE(Filed("ID").empty());
    EXPECT_NE(LogText().find("FEHLER    | "), std::string::npos);
    // The connection is still good for the next mail.
    const TImportErgebnis next = ImportMailDatei(Ctx, [&] {
        const auto small = Home.Path() / "klein.eml";
        WriteFile(small, PlainMail("hans@example.org", "Meldung", "Pegel 4,20 m"));
        return small;
    }());
    EXPECT_EQ(next.Auswertung.Ergebnis, TAuswertungsErgebnis::Abgelegt) << next.Zeile;
}

INSTANTIATE_TEST_SUITE_P(
    Limits, TextTooLargeTest,
    ::testing::Values(TTooLargeCase{"LongerThanAStatementOfTheServer", "", 0,
                                    "zu groß für den Datenbankserver (max_allowed_packet erlaubt "},
                      TTooLargeCase{"LongerThanTheColumn", "ALTER TABLE LF_NACHRICHTEN MODIFY INHALT TEXT NULL",
                                    100 * 1024, "Data too long for column 'INHALT'"}),
    [](const ::testing::TestParamInfo<TTooLargeCase>& info) { return info.param.name; });

}  // namespace
}  // namespace kdv::testing
