#include "incoming/text_cleanup.h"

#include <gtest/gtest.h>

#include <string>

namespace kdv {
namespace {

struct TCleanCase {
    std::string input;
    std::string expected;
};

void PrintTo(const TCleanCase& c, std::ostream* os) {
    *os << testing::PrintToString(c.input);
}

class HtmlToTextTest : public testing::TestWithParam<TCleanCase> {};

TEST_P(HtmlToTextTest, ReducesToPlainText) {
    EXPECT_EQ(HtmlToText(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HtmlToTextTest,
    testing::Values(
        // Tags.
        TCleanCase{"<p>Hallo&nbsp;Welt</p>", "Hallo&nbsp;Welt"},
        TCleanCase{"<div\r\nclass=\"x\">Text</div>", "Text"},
        TCleanCase{"<html><body><b>Lage</b> 12<br>\r\nPegel</body></html>", "Lage 12\r\nPegel"},
        TCleanCase{"", ""},
        // An unclosed "<" and a stray ">" are text, not tags.
        TCleanCase{"Pegel < 5 m, steigend", "Pegel < 5 m, steigend"},
        TCleanCase{"Pegel > 5 m", "Pegel > 5 m"},
        TCleanCase{"<b>a</b> < b", "a < b"},
        TCleanCase{"x <y", "x <y"},
        // Blanks and tabs.
        TCleanCase{"a  b", "a b"},
        TCleanCase{"a \r\nb", "a\r\nb"},
        TCleanCase{"a\t\tb", "a\tb"},
        TCleanCase{"a \tb", "a\tb"},
        TCleanCase{"a \nb", "a\nb"},
        TCleanCase{"a <i>b</i>", "ab"},
        TCleanCase{"a ", "a "},
        TCleanCase{"a  ", "a "},
        // Entities: only five, each pass over the result of the one before.
        TCleanCase{"&quot;x&quot; &apos;y&apos; &gt; &lt;", "\"x\" 'y' > <"},
        TCleanCase{"&amp;lt;", "&lt;"},
        TCleanCase{"&AMP; &#228; &auml;", "&AMP; &#228; &auml;"},
        TCleanCase{"&lt;b&gt;fett&lt;/b&gt;", "<b>fett</b>"},
        // Empty lines and escaped line breaks.
        TCleanCase{"Zeile 1\r\n\r\n\r\nZeile 2", "Zeile 1\r\n\r\nZeile 2"},
        TCleanCase{"Zeile 1\r\n\r\n\r\n\r\nZeile 2", "Zeile 1\r\n\r\nZeile 2"},
        TCleanCase{"Zeile 1\r\n\r\nZeile 2", "Zeile 1\r\nZeile 2"},
        TCleanCase{"x&lt;br&gt;y", "x\ry"},
        TCleanCase{"x&lt;BR&gt;y&lt;bR&gt;", "x\ry\r"},
        // Text beyond ASCII passes unchanged.
        TCleanCase{"<p>Grüße aus Köln</p>", "Grüße aus Köln"}));

class CleanBetreffTest : public testing::TestWithParam<TCleanCase> {};

TEST_P(CleanBetreffTest, RemovesMarkersAndTrims) {
    EXPECT_EQ(CleanBetreff(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CleanBetreffTest,
    testing::Values(
        TCleanCase{"AW: WG: Re: Lage", "Lage"},
        TCleanCase{"Fw: fW: FW: Hochwasser", "Hochwasser"},
        TCleanCase{"Forum: Treffen", "Forum: Treffen"},
        TCleanCase{"Software: Update", "Softwa Update"},
        TCleanCase{"Lage #12 re:", "Lage #12"},
        // One pass per marker, in the order fw, wg, aw, re: removing one
        // marker can join the parts of a marker removed later, not earlier.
        TCleanCase{"rfw:e: x", "x"},
        TCleanCase{"fwre:: x", "fw: x"},
        TCleanCase{"\t \r\n Lage \x01", "Lage"},
        TCleanCase{"re:", ""},
        TCleanCase{"", ""},
        TCleanCase{"AW: Grüße", "Grüße"}));

class CleanDateinameTest : public testing::TestWithParam<TCleanCase> {};

TEST_P(CleanDateinameTest, RemovesFiveCharacters) {
    EXPECT_EQ(CleanDateiname(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CleanDateinameTest,
    testing::Values(
        TCleanCase{"Lage#1: Plan?.pdf", "Lage1 Plan.pdf"},
        TCleanCase{"a!b&c#d:e?f", "abcdef"},
        TCleanCase{"..\\Ordner/Datei *<>|.txt", "..\\Ordner/Datei *<>|.txt"},
        TCleanCase{"#!:&?", ""},
        TCleanCase{"Übersicht.pdf", "Übersicht.pdf"}));

}  // namespace
}  // namespace kdv
