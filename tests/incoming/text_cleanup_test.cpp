#include "incoming/text_cleanup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kdv {
namespace {

struct TCleanCase {
    std::string name;
    std::string input;
    std::string expected;
};

void PrintTo(const TCleanCase& c, std::ostream* os) {
    *os << testing::PrintToString(c.input);
}

std::string CaseName(const testing::TestParamInfo<TCleanCase>& info) {
    return info.param.name;
}

class HtmlToTextTest : public testing::TestWithParam<TCleanCase> {};

TEST_P(HtmlToTextTest, ShowsWhatABrowserShows) {
    EXPECT_EQ(HtmlToText(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HtmlToTextTest,
    testing::Values(
        // Words and the characters between them.
        TCleanCase{"BareComparisonSignsStay", "Pegel < 5 m, Abfluss > 3 m", "Pegel < 5 m, Abfluss > 3 m"},
        TCleanCase{"EscapedAddressStays", "Am Montag schrieb Hans &lt;hans@example.org&gt;:",
                   "Am Montag schrieb Hans <hans@example.org>:"},
        TCleanCase{"InlineTagKeepsTheBlankBeforeIt", "<p>Lage <b>kritisch</b>", "Lage kritisch"},
        TCleanCase{"InlineTagDoesNotSplitAWord", "<b>Lage</b>bericht <i>Nord</i>", "Lagebericht Nord"},
        TCleanCase{"WhiteSpaceCollapses", "  Pegel \r\n\t steigt   <b> weiter </b> ", "Pegel steigt weiter"},
        TCleanCase{"SourceLineBreakIsABlank", "<p>Pegel\r\nsteigt</p>", "Pegel steigt"},
        TCleanCase{"NoBreakSpacesDoNotCollapse", "a&nbsp;&nbsp;b", "a  b"},
        TCleanCase{"PreKeepsItsText", "<pre>\r\n  Wache 2\r\n\tFahrzeug  3\r\n</pre>", "  Wache 2\r\n\tFahrzeug  3"},
        TCleanCase{"PreKeepsLoneLineFeeds", "<pre>a\n\nb</pre>", "a\r\n\r\nb"},
        // Lines.
        TCleanCase{"BlocksEndLines", "<div>Hallo</div><div>Pegel</div>", "Hallo\r\nPegel"},
        TCleanCase{"BreakEndsALine", "Zeile 1<br>Zeile 2<br/>Zeile 3", "Zeile 1\r\nZeile 2\r\nZeile 3"},
        TCleanCase{"TwoBreaksMakeAnEmptyLine", "A<br><br>B", "A\r\n\r\nB"},
        TCleanCase{"AtMostOneEmptyLineInARow", "A<br><br><br><br>B<p></p><p></p><br><br>C", "A\r\n\r\nB\r\n\r\nC"},
        TCleanCase{"EmptyDivIsAnEmptyLine", "<div>A</div><div><br></div><div>B</div>", "A\r\n\r\nB"},
        TCleanCase{"BreakAtTheEndOfABlockAddsNoLine", "<div>A<br></div><div>B</div>", "A\r\nB"},
        TCleanCase{"NoEmptyLinesAtStartOrEnd", "<br><br><p>&nbsp;</p><p>A</p><br><br><div>&nbsp;</div>", "A"},
        TCleanCase{"NoBlanksAtLineEnds", "<div>A&nbsp; </div><div>B\t</div>", "A\r\nB"},
        TCleanCase{"ParagraphsAreSeparatedByAnEmptyLine", "<p>Absatz 1</p><p>Absatz 2</p>Rest",
                   "Absatz 1\r\n\r\nAbsatz 2\r\nRest"},
        TCleanCase{"HeadingsAreParagraphs", "<h1>Lage</h1><p>Text</p>", "Lage\r\n\r\nText"},
        TCleanCase{"OfficeParagraphsAreLines", "<p class=MsoNormal>Zeile 1</p><p class=\"MsoNormal\">Zeile 2</p>",
                   "Zeile 1\r\nZeile 2"},
        TCleanCase{"ListItemsOnLinesOfTheirOwn", "Bitte:<ul><li>Sandsäcke</li><li>Pumpen</ul>Danke",
                   "Bitte:\r\n- Sandsäcke\r\n- Pumpen\r\nDanke"},
        TCleanCase{"OrderedAndNestedLists", "<ol start=\"3\"><li>drei<ul><li>a<li>b</ul><li>vier</ol>",
                   "3. drei\r\n  - a\r\n  - b\r\n4. vier"},
        TCleanCase{"CellsOfARowShareALine",
                   "<table><tr><th>Ort</th><th>Pegel</th></tr>"
                   "<tr><td><p>Köln</p></td><td><div>7,10 m</div></td></tr></table>",
                   "Ort\tPegel\r\nKöln\t7,10 m"},
        TCleanCase{"BlocksWithinACellStillEndLines", "<table><tr><td><div>a</div><div>b</div></td><td>c</td></tr></table>",
                   "a\r\nb\tc"},
        TCleanCase{"QuotesAreMarkedPerLevel",
                   "Antwort<blockquote>Frage<br><br>Gruß<blockquote>Erste</blockquote></blockquote>Ende",
                   "Antwort\r\n> Frage\r\n>\r\n> Gruß\r\n>> Erste\r\nEnde"},
        TCleanCase{"DeepQuotesStopGrowing",
                   "<blockquote><blockquote><blockquote><blockquote><blockquote><blockquote>tief",
                   ">>>> tief"},
        // What a browser does not show.
        TCleanCase{"HeadTitleStyleAndScriptAreDropped",
                   "<html><head><title>Titel</title><style>p { color: red; }</style></head>"
                   "<body>Text<script>var lage = 1;</script><style>b{}</style></body></html>",
                   "Text"},
        TCleanCase{"HiddenElementsAreDropped", "<div style=\"DISPLAY: none\">Vorschau</div><span>Text</span>", "Text"},
        TCleanCase{"CommentsAreDropped", "<!--[if gte mso 9]><xml><o:x/></xml><![endif]-->A<!-- Notiz -->B", "AB"},
        TCleanCase{"OfficeConditionalMarkersAreDropped", "<p><![if !supportLists]>1.<![endif]> Punkt</p>", "1. Punkt"},
        TCleanCase{"OnlyMarkup", "<html><body><img src=\"logo.png\"></body></html>", ""},
        TCleanCase{"Empty", "", ""},
        // Characters.
        TCleanCase{"NamedEntities", "h&auml;lt &Auml;&szlig;&euro;&hellip;&copy; &quot;&apos;&amp;&lt;&gt;",
                   "hält Äß€…© \"'&<>"},
        TCleanCase{"NumericEntities", "&#228;&#xE4;&#X2013;&#128512;", "ää–😀"},
        TCleanCase{"ReferencesTo128To159AreWindows1252", "&#150; &#128; &#133;", "– € …"},
        TCleanCase{"EscapedEntityIsDecodedOnce", "&amp;lt; &amp;auml;", "&lt; &auml;"},
        TCleanCase{"UnknownEntityStays", "&bogus; Preis & Leistung", "&bogus; Preis & Leistung"},
        TCleanCase{"MetaCharsetDoesNotDecodeAgain", "<meta charset=\"iso-8859-1\"><p>Grüße</p>", "Grüße"},
        TCleanCase{"HttpEquivCharsetDoesNotDecodeAgain",
                   "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1252\">"
                   "</head><body>Grüße – 5 €</body></html>",
                   "Grüße – 5 €"},
        TCleanCase{"InvalidUtf8BecomesReplacementCharacters", "a\xff" "b \xc3", "a\xef\xbf\xbd" "b \xef\xbf\xbd"},
        TCleanCase{"ControlCharactersAreDropped", std::string("a\0b\x01" "c\x7f", 6), "abc"}),
    CaseName);

// Real mails as their programs write them.
INSTANTIATE_TEST_SUITE_P(
    MailPrograms, HtmlToTextTest,
    testing::Values(
        TCleanCase{
            "Outlook",
            "<html xmlns:v=\"urn:schemas-microsoft-com:vml\" xmlns:o=\"urn:schemas-microsoft-com:office:office\" "
            "xmlns=\"http://www.w3.org/TR/REC-html40\">\r\n<head>\r\n"
            "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=iso-8859-1\">\r\n"
            "<meta name=\"Generator\" content=\"Microsoft Word 15 (filtered medium)\">\r\n"
            "<!--[if !mso]><style>v\\:* {behavior:url(#default#VML);}\r\n</style><![endif]-->\r\n"
            "<style><!--\r\n/* Font Definitions */\r\n@font-face\r\n\t{font-family:\"Cambria Math\";}\r\n"
            "p.MsoNormal, li.MsoNormal, div.MsoNormal\r\n\t{margin:0cm;\r\n\tfont-size:11.0pt;}\r\n"
            "--></style><!--[if gte mso 9]><xml>\r\n<o:shapedefaults v:ext=\"edit\" spidmax=\"1026\" />\r\n"
            "</xml><![endif]-->\r\n</head>\r\n"
            "<body lang=\"DE\" link=\"#0563C1\" vlink=\"#954F72\" style=\"word-wrap:break-word\">\r\n"
            "<div class=\"WordSection1\">\r\n"
            "<p class=\"MsoNormal\">Hallo zusammen,<o:p></o:p></p>\r\n"
            "<p class=\"MsoNormal\"><o:p>&nbsp;</o:p></p>\r\n"
            "<p class=\"MsoNormal\">der Pegel am Deich&nbsp;3 steigt weiter. Stand 14:00&nbsp;Uhr:<o:p></o:p></p>\r\n"
            "<p class=\"MsoNormal\"><o:p>&nbsp;</o:p></p>\r\n"
            "<table class=\"MsoNormalTable\" border=\"0\" cellspacing=\"0\" cellpadding=\"0\">\r\n<tr>\r\n"
            "<td width=\"120\" style=\"padding:0cm 5.4pt\"><p class=\"MsoNormal\"><b>Messstelle<o:p></o:p></b></p></td>\r\n"
            "<td width=\"80\" style=\"padding:0cm 5.4pt\"><p class=\"MsoNormal\"><b>Pegel<o:p></o:p></b></p></td>\r\n"
            "</tr>\r\n<tr>\r\n"
            "<td style=\"padding:0cm 5.4pt\"><p class=\"MsoNormal\">K&ouml;ln<o:p></o:p></p></td>\r\n"
            "<td style=\"padding:0cm 5.4pt\"><p class=\"MsoNormal\">7,10&nbsp;m<o:p></o:p></p></td>\r\n"
            "</tr>\r\n</table>\r\n"
            "<p class=\"MsoNormal\"><o:p>&nbsp;</o:p></p>\r\n"
            "<p class=\"MsoListParagraph\" style=\"text-indent:-18.0pt;mso-list:l0 level1 lfo1\">"
            "<![if !supportLists]><span style=\"font-family:Symbol\"><span style=\"mso-list:Ignore\">&middot;"
            "<span style=\"font:7.0pt &quot;Times New Roman&quot;\">&nbsp;&nbsp; </span></span></span>"
            "<![endif]>Sands&auml;cke bereitstellen<o:p></o:p></p>\r\n"
            "<p class=\"MsoNormal\"><o:p>&nbsp;</o:p></p>\r\n"
            "<p class=\"MsoNormal\">Mit freundlichen Gr&uuml;&szlig;en<o:p></o:p></p>\r\n"
            "<p class=\"MsoNormal\">Hans Meier<o:p></o:p></p>\r\n"
            "<table border=\"0\" cellpadding=\"0\"><tr><td><table><tr><td><p class=\"MsoNormal\">"
            "<span style=\"font-size:9.0pt\">Leitstelle Nord | Tel. 0221&nbsp;123<o:p></o:p></span></p>"
            "</td></tr></table></td></tr></table>\r\n"
            "</div>\r\n</body>\r\n</html>\r\n",
            "Hallo zusammen,\r\n"
            "\r\n"
            "der Pegel am Deich 3 steigt weiter. Stand 14:00 Uhr:\r\n"
            "\r\n"
            "Messstelle\tPegel\r\n"
            "Köln\t7,10 m\r\n"
            "\r\n"
            "·   Sandsäcke bereitstellen\r\n"
            "\r\n"
            "Mit freundlichen Grüßen\r\n"
            "Hans Meier\r\n"
            "Leitstelle Nord | Tel. 0221 123"},
        TCleanCase{
            "Thunderbird",
            "<html>\r\n  <head>\r\n"
            "    <meta http-equiv=\"content-type\" content=\"text/html; charset=UTF-8\">\r\n"
            "  </head>\r\n  <body>\r\n"
            "    <p>Danke, wir kommen mit zwei Fahrzeugen.<br>\r\n    </p>\r\n"
            "    <div class=\"moz-cite-prefix\">Am 10.12.2026 um 09:15 schrieb Hans\r\n      Meier:<br>\r\n"
            "    </div>\r\n"
            "    <blockquote type=\"cite\" cite=\"mid:1234@example.org\">\r\n"
            "      <meta http-equiv=\"content-type\" content=\"text/html; charset=UTF-8\">\r\n"
            "      Brauchen Unterst&uuml;tzung am Deich 3.<br>\r\n      <br>\r\n"
            "      Gru&szlig;<br>\r\n      Hans<br>\r\n"
            "    </blockquote>\r\n    <br>\r\n"
            "    <pre class=\"moz-signature\" cols=\"72\">-- \r\nFeuerwehr Süd\r\n  Wache 2</pre>\r\n"
            "  </body>\r\n</html>\r\n",
            "Danke, wir kommen mit zwei Fahrzeugen.\r\n"
            "Am 10.12.2026 um 09:15 schrieb Hans Meier:\r\n"
            "> Brauchen Unterstützung am Deich 3.\r\n"
            ">\r\n"
            "> Gruß\r\n"
            "> Hans\r\n"
            "\r\n"
            "--\r\n"
            "Feuerwehr Süd\r\n"
            "  Wache 2"},
        TCleanCase{
            "Gmail",
            "<div dir=\"ltr\"><div>Lage ist ruhig.</div><div><br></div><div>Gruß</div></div><br>"
            "<div class=\"gmail_quote\"><div dir=\"ltr\" class=\"gmail_attr\">Am Mo., 7. Dez. 2026 um 10:00 Uhr "
            "schrieb Hans &lt;<a href=\"mailto:hans@example.org\">hans@example.org</a>&gt;:<br></div>"
            "<blockquote class=\"gmail_quote\" style=\"margin:0px 0px 0px 0.8ex;border-left:1px solid "
            "rgb(204,204,204);padding-left:1ex\"><div dir=\"ltr\">Wie ist die Lage?</div></blockquote></div>\r\n",
            "Lage ist ruhig.\r\n"
            "\r\n"
            "Gruß\r\n"
            "\r\n"
            "Am Mo., 7. Dez. 2026 um 10:00 Uhr schrieb Hans <hans@example.org>:\r\n"
            "> Wie ist die Lage?"}),
    CaseName);

// The same text whatever the pieces the HTML arrives in: pieces may end
// inside a tag, an entity, a marker or a UTF-8 character.
class HtmlPiecesTest : public testing::TestWithParam<std::size_t> {};

TEST_P(HtmlPiecesTest, PieceSizeDoesNotChangeTheText) {
    const std::string html =
        "<html><head><style>p{}</style></head><body><p class=MsoNormal>Gr&uuml;&szlig;e aus K\xc3\xb6ln "
        "\xe2\x82\xac\xf0\x9f\x98\x80</p><p><![if !supportLists]>1.<![endif]> Punkt<!-- <![endif] --></p>"
        "<table><tr><td>a</td><td>b</td></tr></table><pre>  x\r\n  y</pre><blockquote>z</blockquote></body></html>";
    const std::string expected = HtmlToText(html);
    ASSERT_EQ(expected,
              "Grüße aus Köln €😀\r\n1. Punkt\r\na\tb\r\n  x\r\n  y\r\n> z");
    THtmlTextConverter converter;
    for (std::size_t pos = 0; pos < html.size(); pos += GetParam()) {
        converter.Feed(std::string_view(html).substr(pos, GetParam()));
    }
    EXPECT_EQ(converter.Finish(), expected);
    EXPECT_EQ(converter.Finish(), "");
}

TEST_P(HtmlPiecesTest, PieceSizeDoesNotChangeTheTextOfBrokenHtml) {
    // A quote left open in a tag: the parser's reading depended on where pieces ended.
    const std::string html("<h\" xm=\"><\0<\0C", 14);
    THtmlTextConverter converter;
    for (std::size_t pos = 0; pos < html.size(); pos += GetParam()) {
        converter.Feed(std::string_view(html).substr(pos, GetParam()));
    }
    EXPECT_EQ(converter.Finish(), HtmlToText(html));
}

INSTANTIATE_TEST_SUITE_P(Sizes, HtmlPiecesTest, testing::Values(1, 2, 3, 5, 7, 13, 64),
                         [](const testing::TestParamInfo<std::size_t>& info) {
                             return "Bytes" + std::to_string(info.param);
                         });

TEST(HtmlToTextLimits, ParserErrorsStayOffStandardError) {
    testing::internal::CaptureStderr();
    const std::string text = HtmlToText("<a <<b></c></d><p <x =>Text</q>&#0;&#xD800;<!DOCTYPE x<o:p><![CDATA[ x ]]>");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_NE(text.find("Text"), std::string::npos) << text;
}

TEST(HtmlToTextLimits, HostileNestingKeepsTheTextBeforeIt) {
    std::string html = "<p>Anfang</p>";
    for (int i = 0; i < 20000; ++i) html += "<span>";
    html += "Ende";
    EXPECT_EQ(HtmlToText(html), "Anfang");
}

TEST(HtmlToTextLimits, LargeMailIsConvertedWhole) {
    std::string html = "<html><body>";
    const std::string line = "<p class=MsoNormal>Pegel <b>steigt</b> weiter &auml;</p>\r\n";
    const std::size_t lines = 8 * 1024 * 1024 / line.size();
    for (std::size_t i = 0; i < lines; ++i) html += line;
    html += "<p class=MsoNormal>Ende</p></body></html>";
    const std::string text = HtmlToText(html);
    const std::string expectedLine = "Pegel steigt weiter ä\r\n";
    EXPECT_EQ(text.size(), lines * expectedLine.size() + 4);
    EXPECT_EQ(text.substr(0, expectedLine.size()), expectedLine);
    EXPECT_EQ(text.substr(text.size() - 6), "\r\nEnde");
}

class CleanBetreffTest : public testing::TestWithParam<TCleanCase> {};

TEST_P(CleanBetreffTest, RemovesLeadingMarkersAndControls) {
    EXPECT_EQ(CleanBetreff(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CleanBetreffTest,
    testing::Values(
        TCleanCase{"GermanAndEnglishMarkers", "AW: WG: Re: Lage", "Lage"},
        TCleanCase{"AnyCaseRepeated", "Fw: fW: FW: Hochwasser", "Hochwasser"},
        TCleanCase{"Fwd", "Fwd: FWD:fwd: Lage", "Lage"},
        TCleanCase{"WithoutBlanks", "RE:RE:AW:Lage", "Lage"},
        TCleanCase{"ManyBlanksAfterMarker", "AW:   \t Lage", "Lage"},
        TCleanCase{"WordEndingInRe", "Software: Update", "Software: Update"},
        TCleanCase{"WordEndingInAre", "Hardware: Ausfall", "Hardware: Ausfall"},
        TCleanCase{"OtherWordWithColon", "Forum: Treffen", "Forum: Treffen"},
        TCleanCase{"MarkerAfterTheStart", "Lage AW: WG: Antwort", "Lage AW: WG: Antwort"},
        TCleanCase{"MarkerAtTheEnd", "Lage #12 re:", "Lage #12 re:"},
        TCleanCase{"LongerWordStartingLikeAMarker", "AWG: Termin", "AWG: Termin"},
        TCleanCase{"MarkerWithoutColon", "Re Lage", "Re Lage"},
        TCleanCase{"OnlyAMarker", "re:", ""},
        TCleanCase{"Empty", "", ""},
        TCleanCase{"TrimmedWithControls", "\t \r\n AW: Grüße \x01", "Grüße"},
        TCleanCase{"ControlCharactersBecomeBlanks", "Lage\r###\rEnde", "Lage ### Ende"},
        TCleanCase{"TabsAndEscapesBecomeBlanks", "Lage\tNord\x1b" "1\x7f", "Lage Nord 1"},
        TCleanCase{"C1ControlsBecomeBlanks", "Lage\xc2\x85" "Ende", "Lage Ende"},
        TCleanCase{"LettersBeyondAsciiStay", "AW: Grüße à Köln", "Grüße à Köln"}),
    CaseName);

class CleanDateinameTest : public testing::TestWithParam<TCleanCase> {};

TEST_P(CleanDateinameTest, RemovesFiveCharacters) {
    EXPECT_EQ(CleanDateiname(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CleanDateinameTest,
    testing::Values(
        TCleanCase{"Punctuation", "Lage#1: Plan?.pdf", "Lage1 Plan.pdf"},
        TCleanCase{"AllFive", "a!b&c#d:e?f", "abcdef"},
        TCleanCase{"OtherCharactersStay", "..\\Ordner/Datei *<>|.txt", "..\\Ordner/Datei *<>|.txt"},
        TCleanCase{"NothingLeft", "#!:&?", ""},
        TCleanCase{"LettersBeyondAscii", "Übersicht.pdf", "Übersicht.pdf"}),
    CaseName);

}  // namespace
}  // namespace kdv
