// The text of a journal mail: priority, communication path, subject, body
// pieces and the charset of the text part.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "outgoing/journal_mail_text.h"

namespace kdv {
namespace {

struct TPriorityCase {
    const char* name;
    const char* vorrang;
    const char* expected;
};

class PriorityTextTest : public ::testing::TestWithParam<TPriorityCase> {};

TEST_P(PriorityTextTest, GivesTheTextOfTheLetter) {
    EXPECT_EQ(PriorityText(GetParam().vorrang), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Vorrang, PriorityTextTest,
                         ::testing::Values(TPriorityCase{"Sofort", "S", "  -  Vorrang: SOFORT"},
                                           TPriorityCase{"Blitz", "B", "  -  Vorrang: BLITZ"},
                                           TPriorityCase{"Staatsnot", "A", "  -  Vorrang: STAATSNOT"},
                                           TPriorityCase{"LowerCaseIsNone", "s", ""},
                                           TPriorityCase{"EmptyIsNone", "", ""},
                                           TPriorityCase{"OtherLetterIsNone", "X", ""},
                                           TPriorityCase{"LetterWithBlankIsNone", "S ", ""}),
                         [](const auto& info) { return std::string(info.param.name); });

struct TPathCase {
    const char* name;
    const char* von;
    const char* an;
    const char* art;
    const char* expected;
};

class CommunicationPathTest : public ::testing::TestWithParam<TPathCase> {};

TEST_P(CommunicationPathTest, JoinsTheFilledValues) {
    const TPathCase& c = GetParam();
    EXPECT_EQ(CommunicationPathText(c.von, c.an, c.art), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Variants, CommunicationPathTest,
    ::testing::Values(
        TPathCase{"AllEmptyGivesNoBlock", "", "", "", ""},
        TPathCase{"AllThree", "Leitstelle", "Stab", "Funk",
                  "\r\nKommunikationsweg: Von: Leitstelle  An: Stab  Weg: Funk\r\n\r\n"},
        TPathCase{"OnlyArtStartsWithTwoBlanks", "", "", "Fax", "\r\nKommunikationsweg:   Weg: Fax\r\n\r\n"},
        TPathCase{"OnlyVon", "Leitstelle", "", "", "\r\nKommunikationsweg: Von: Leitstelle\r\n\r\n"},
        TPathCase{"AnAndArt", "", "Stab", "Funk", "\r\nKommunikationsweg:   An: Stab  Weg: Funk\r\n\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JournalSubject, JoinsPrefixSubjectAndIncidentWithoutSeparators) {
    TJournalRow row;
    row.Betreff = "Pegelstand";
    row.Lage = "3";
    EXPECT_EQ(JournalSubject("[Lage]", row), "[Lage]Pegelstand (#3)");
    EXPECT_EQ(JournalSubject("", row), "Pegelstand (#3)");
    row.Betreff.clear();
    EXPECT_EQ(JournalSubject("", row), " (#3)");
}

TEST(JournalBodyText, PutsThePiecesTogetherInOrder) {
    TJournalRow row;
    row.AddFunktion = "S3";
    row.AddUser = "Meier";
    row.AddTime = "29.01.2024 14:05:09";
    row.Betreff = "Pegelstand";
    row.Vorrang = "B";
    row.Von = "Leitstelle";
    row.Inhalt = "Zeile 1\nZeile 2";
    EXPECT_EQ(JournalBodyText(row, "Hochwasser"),
              "In der Lage \"Hochwasser\" wurde von S3 (Meier) um 29.01.2024 14:05:09 folgender Eintrag "
              "hinzugefügt: \r\n\r\nPegelstand  -  Vorrang: BLITZ:\r\n\r\nKommunikationsweg: Von: "
              "Leitstelle\r\n\r\nZeile 1\nZeile 2");
    row.Von.clear();
    row.Vorrang.clear();
    EXPECT_EQ(JournalBodyText(row, ""),
              "In der Lage \"\" wurde von S3 (Meier) um 29.01.2024 14:05:09 folgender Eintrag "
              "hinzugefügt: \r\n\r\nPegelstand:\r\nZeile 1\nZeile 2");
}

struct TLinesCase {
    const char* name;
    std::string text;
    std::vector<std::string> lines;
};

class BodyLinesTest : public ::testing::TestWithParam<TLinesCase> {};

TEST_P(BodyLinesTest, SplitsAtEveryKindOfBreak) { EXPECT_EQ(BodyLines(GetParam().text), GetParam().lines); }

INSTANTIATE_TEST_SUITE_P(
    Breaks, BodyLinesTest,
    ::testing::Values(TLinesCase{"CrLf", "a\r\nb", {"a", "b"}}, TLinesCase{"LfOnly", "a\nb\n\nc", {"a", "b", "", "c"}},
                      TLinesCase{"CrOnly", "a\rb", {"a", "b"}},
                      TLinesCase{"FinalBreakAddsNoLine", "a\r\n", {"a"}},
                      TLinesCase{"DotLineKept", "a\n.\n.b", {"a", ".", ".b"}}, TLinesCase{"Empty", "", {}}),
    [](const auto& info) { return std::string(info.param.name); });

struct TCharsetCase {
    const char* name;
    std::string text;
    const char* charset;
};

class BodyCharsetTest : public ::testing::TestWithParam<TCharsetCase> {};

TEST_P(BodyCharsetTest, IsLatin1OnlyWhenEveryCharacterFits) {
    EXPECT_EQ(BodyCharset({"erste Zeile", GetParam().text}), GetParam().charset);
}

INSTANTIATE_TEST_SUITE_P(
    Characters, BodyCharsetTest,
    ::testing::Values(TCharsetCase{"Ascii", "Pegel 4,20 m", "iso-8859-1"},
                      TCharsetCase{"Umlauts", "Straße gesperrt, Äcker überflutet", "iso-8859-1"},
                      TCharsetCase{"LastLatin1Character", "\xC3\xBF", "iso-8859-1"},
                      TCharsetCase{"Euro", "Kosten 5 \xE2\x82\xAC", "UTF-8"},
                      TCharsetCase{"PolishName", "Pan \xC5\x81ukasz", "UTF-8"},
                      TCharsetCase{"CzechName", "Dvo\xC5\x99\xC3\xA1k", "UTF-8"},
                      TCharsetCase{"ByteThatIsNoUtf8", "Stra\xDF" "e", "UTF-8"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kdv
