#include "platform/utf8_text.h"

#include <gtest/gtest.h>

#include <string>

namespace kdv {
namespace {

// What one step of decoding reads at the front of a text.
struct TDecodeCase {
    const char* name;
    std::string bytes;
    bool valid;
    std::size_t length;
    char32_t code;
};

class Utf8DecodeTest : public ::testing::TestWithParam<TDecodeCase> {};

TEST_P(Utf8DecodeTest, ReadsOneCharacterOrOneBrokenSequence) {
    const TDecodeCase& c = GetParam();
    const TUtf8Char decoded = DecodeUtf8Char(c.bytes);
    EXPECT_EQ(decoded.Valid, c.valid);
    EXPECT_EQ(decoded.Length, c.length);
    EXPECT_EQ(decoded.Code, c.code);
    EXPECT_EQ(IsValidUtf8(c.bytes.substr(0, c.length)), c.valid);
}

INSTANTIATE_TEST_SUITE_P(
    Utf8, Utf8DecodeTest,
    ::testing::Values(
        TDecodeCase{"Ascii", "a", true, 1, U'a'},
        TDecodeCase{"TwoBytes", "\xC3\xBC", true, 2, U'ü'},
        TDecodeCase{"ThreeBytes", "\xE2\x82\xAC", true, 3, U'€'},
        TDecodeCase{"FourBytes", "\xF0\x9F\x9A\x92", true, 4, U'\U0001F692'},
        TDecodeCase{"LastCodePoint", "\xF4\x8F\xBF\xBF", true, 4, U'\U0010FFFF'},
        TDecodeCase{"LoneContinuationByte", "\x80z", false, 1, 0x80},
        TDecodeCase{"OverlongTwoBytes", "\xC0\xAF", false, 1, 0xC0},
        TDecodeCase{"OverlongThreeBytes", "\xE0\x80\xAF", false, 1, 0xE0},
        TDecodeCase{"OverlongFourBytes", "\xF0\x80\x80\xAF", false, 1, 0xF0},
        TDecodeCase{"Surrogate", "\xED\xA0\x80", false, 1, 0xED},
        TDecodeCase{"PastLastCodePoint", "\xF4\x90\x80\x80", false, 1, 0xF4},
        TDecodeCase{"ByteNoSequenceStartsWith", "\xF5\x80\x80\x80", false, 1, 0xF5},
        TDecodeCase{"CutShortTakesItsWholePrefix", "\xE2\x82z", false, 2, 0xE2},
        TDecodeCase{"CutShortAtTheEnd", "\xF0\x9F\x9A", false, 3, 0xF0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Utf8Text, ValidityLooksAtEveryCharacter) {
    EXPECT_TRUE(IsValidUtf8(""));
    EXPECT_TRUE(IsValidUtf8("Grüße, 🚒 und €"));
    EXPECT_FALSE(IsValidUtf8("Grüße\xC3"));
    EXPECT_FALSE(IsValidUtf8("a\xED\xBF\xBFz"));
}

// The front of a text cut to a number of characters or of bytes.
struct TPrefixCase {
    const char* name;
    std::string text;
    std::size_t limit;
    std::string expected;
};

class Utf8PrefixByCharsTest : public ::testing::TestWithParam<TPrefixCase> {};

TEST_P(Utf8PrefixByCharsTest, CountsCharactersAndEachByteOfABrokenSequence) {
    const TPrefixCase& c = GetParam();
    EXPECT_EQ(Utf8PrefixByChars(c.text, c.limit), c.expected);
    EXPECT_LE(Utf8CharCount(Utf8PrefixByChars(c.text, c.limit)), c.limit);
}

INSTANTIATE_TEST_SUITE_P(
    Utf8, Utf8PrefixByCharsTest,
    ::testing::Values(
        TPrefixCase{"Ascii", "abc", 2, "ab"},
        TPrefixCase{"ShorterThanTheLimit", "abc", 5, "abc"},
        TPrefixCase{"Umlauts", "äöü", 2, "äö"},
        TPrefixCase{"FourByteCharacter", "a\xF0\x9F\x9A\x92z", 2, "a\xF0\x9F\x9A\x92"},
        TPrefixCase{"LoneLeadBytesCountAlone", "\xC3x\xC3", 2, "\xC3x"},
        TPrefixCase{"SequenceCutShort", "ab\xE2\x82", 3, "ab\xE2"}),
    [](const auto& info) { return std::string(info.param.name); });

class Utf8PrefixByBytesTest : public ::testing::TestWithParam<TPrefixCase> {};

TEST_P(Utf8PrefixByBytesTest, NeverEndsInsideACharacter) {
    const TPrefixCase& c = GetParam();
    EXPECT_EQ(Utf8PrefixByBytes(c.text, c.limit), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Utf8, Utf8PrefixByBytesTest,
    ::testing::Values(
        TPrefixCase{"ShorterThanTheLimit", "Grüße", 20, "Grüße"},
        TPrefixCase{"CutAfterACharacter", "Grüße", 4, "Grü"},
        TPrefixCase{"CutInsideACharacter", "Grüße", 3, "Gr"},
        TPrefixCase{"CutInsideAFourByteCharacter", "a\xF0\x9F\x9A\x92", 4, "a"},
        TPrefixCase{"BrokenBytesAreCutLikeCharacters", "a\xC3\xC3z", 2, "a\xC3"},
        TPrefixCase{"NothingFits", "\xE2\x82\xAC", 2, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// Bytes a stream keeps back until its next piece.
struct TTailCase {
    const char* name;
    std::string text;
    std::size_t tail;
};

class Utf8UnfinishedTailTest : public ::testing::TestWithParam<TTailCase> {};

TEST_P(Utf8UnfinishedTailTest, KeepsBackOnlyWhatTheNextPieceCanComplete) {
    const TTailCase& c = GetParam();
    EXPECT_EQ(Utf8UnfinishedTail(c.text), c.tail);
}

INSTANTIATE_TEST_SUITE_P(
    Utf8, Utf8UnfinishedTailTest,
    ::testing::Values(
        TTailCase{"Empty", "", 0},
        TTailCase{"CompleteText", "Grüße", 0},
        TTailCase{"LeadByteAtTheEnd", "Gr\xC3", 1},
        TTailCase{"TwoOfThreeBytes", "x\xE2\x82", 2},
        TTailCase{"ThreeOfFourBytes", "\xF0\x9F\x9A", 3},
        TTailCase{"BrokenStartIsNotKeptBack", "x\xE0\x80", 0},
        TTailCase{"ByteNoSequenceStartsWith", "x\xFF", 0},
        TTailCase{"StrayContinuationBytes", "x\x80\x80\x80", 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kdv
