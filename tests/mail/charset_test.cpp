#include "mail/charset.h"

#include <gtest/gtest.h>

#include "mail/charset_table.h"
#include "support/case_name.h"
#include "support/wine_check.h"

#include <string>
#include <thread>
#include <vector>

namespace kdv {
namespace {

struct TDecodeCase {
    const char* charset;
    std::string bytes;
    std::string expected;
};

// Code pages that Windows documents as converted by the system but that
// Wine 8 has no table for: ISO-2022-JP (50220), GB18030 (54936) and IBM
// EBCDIC Germany with euro (1141). Under Wine they take the 8-bit
// fallback; on Windows they are held to the real conversion.
bool WineHasNoTable(const char* charset) {
    const int code_page = CharsetCodePage(charset);
    return testing::RunsUnderWine() && (code_page == 50220 || code_page == 54936 || code_page == 1141);
}

class CharsetDecodeTest : public ::testing::TestWithParam<TDecodeCase> {};

TEST_P(CharsetDecodeTest, DecodesToUtf8) {
    const TDecodeCase& c = GetParam();
    if (WineHasNoTable(c.charset)) {
        EXPECT_EQ(CharsetToTextEncoding(c.charset)->ToUtf8(c.bytes), Latin1ToUtf8(c.bytes));
        return;
    }
    EXPECT_EQ(CharsetToTextEncoding(c.charset)->ToUtf8(c.bytes), c.expected);
}

const std::string kFffd = "\xEF\xBF\xBD";

// The Arabic DOS code page: Windows has a table for it (byte E4 is U+063A),
// the C library on Linux has none and the 8-bit fallback reads it.
#ifdef _WIN32
const std::string kDos720E4 = "\xD8\xBA";
#else
const std::string kDos720E4 = "ä";
#endif

INSTANTIATE_TEST_SUITE_P(
    Charsets, CharsetDecodeTest,
    ::testing::Values(
        // Unicode forms, each with the damage a sender can do to it.
        TDecodeCase{"UTF-8", "Gr\xC3\xBC\xC3\x9F" "e", "Grüße"},
        TDecodeCase{"utf8", "\xEF\xBB\xBFHallo", "Hallo"},
        TDecodeCase{"UTF-8", "a\xC3(b", "a" + kFffd + "(b"},
        TDecodeCase{"UTF-8", "\xE2\x82", kFffd},
        TDecodeCase{"UTF-8", "\xC0\xAF\xED\xA0\x80", kFffd + kFffd + kFffd + kFffd + kFffd},
        TDecodeCase{"UTF-16LE", std::string("G\0\xFC\0", 4), "Gü"},
        TDecodeCase{"UTF16BE", std::string("\0G\0\xFC", 4), "Gü"},
        TDecodeCase{"UTF-16", std::string("\xFE\xFF\0G", 4), "G"},
        TDecodeCase{"UTF-16", std::string("\xFF\xFEG\0", 4), "G"},
        TDecodeCase{"UTF-16LE", std::string("=\xD8\x01\xDE", 4), "\xF0\x9F\x98\x81"},
        TDecodeCase{"UTF-16LE", std::string("=\xD8G\0", 4), kFffd + "G"},
        TDecodeCase{"UTF-16LE", std::string("G\0H", 3), "G" + kFffd},
        TDecodeCase{"UTF-7", "Hi Mom -+Jjo--!", "Hi Mom -\xE2\x98\xBA-!"},
        TDecodeCase{"utf7", "Gr+APwA3w-e 1+-1", "Grüße 1+1"},
        TDecodeCase{"UNICODE-1-1-UTF-7", "+2D3eAQ-", "\xF0\x9F\x98\x81"},
        TDecodeCase{"UTF-7", "a\xFC" "b", "a" + kFffd + "b"},
        TDecodeCase{"UTF-32LE", std::string("\xFC\0\0\0", 4), "ü"},
        TDecodeCase{"UTF-32BE", std::string("\0\x01\xF6\x01", 4), "\xF0\x9F\x98\x81"},
        TDecodeCase{"UTF-32", std::string("\0\0\xFE\xFF\0\0\0G", 8), "G"},
        TDecodeCase{"UTF-32LE", std::string("\0\0\x11\0\0\xD8\0\0G\0\0\0H", 13), kFffd + kFffd + "G" + kFffd},
        // Single-byte code pages.
        TDecodeCase{"ISO-8859-1", "Gr\xFC\xDF" "e", "Grüße"},
        TDecodeCase{"latin1", "\x80", "\xC2\x80"},
        TDecodeCase{"ISO-8859-15", "\xA4", "€"},
        TDecodeCase{"windows-1252", "\x80 \x84x\x93 \x81", "€ „x“ \xC2\x81"},
        TDecodeCase{"ISO-8859-2", "\xB1", "ą"},
        TDecodeCase{"KOI8-R", "\xF0\xD2\xC9", "При"},
        TDecodeCase{"IBM850", "\x81", "ü"},
        TDecodeCase{"IBM037", "\xC1", "A"},
        // Multi-byte and stateful code pages from the system tables.
        TDecodeCase{"Shift_JIS", "\x93\xFA\x96\x7B", "日本"},
        TDecodeCase{"Shift_JIS", "A\x93", "A" + kFffd},
        TDecodeCase{"ISO-2022-JP", "\x1B$BF|K\\\x1B(B", "日本"},
        TDecodeCase{"EUC-KR", "\xC7\xD1", "한"},
        TDecodeCase{"GB2312", "\xD6\xD0", "中"},
        TDecodeCase{"Big5", "\xA4\xA4", "中"},
        TDecodeCase{"EUC-KR", "a\xFF\xFF" "b", "a" + kFffd + kFffd + "b"},
        // Names as they come out of header parameters.
        TDecodeCase{" \"iso-8859-1\" ", "\xE4", "ä"},
        TDecodeCase{"Iso-8859-1", "\xE4", "ä"},
        // The 8-bit fallback: empty, unknown, registered without code page, or
        // a code page the system cannot convert.
        TDecodeCase{"", "\xE4\x80", "ä\xC2\x80"},
        TDecodeCase{"x-unbekannt", "\xE4", "ä"},
        TDecodeCase{"ISO-8859-10", "\xE4", "ä"},
        TDecodeCase{"DOS-720", "\xE4", kDos720E4},
        TDecodeCase{"HZ-GB-2312", "\xE4", "ä"}),
    [](const ::testing::TestParamInfo<TDecodeCase>& info) {
        return kdv::testing::CaseNameFrom(info.param.charset, info.index);
    });

TEST(CharsetNames, RegisteredNamesAndSpellingsGiveTheirCodePage) {
    const struct {
        const char* name;
        int codePage;
    } cases[] = {
        {"US-ASCII", 20127},     {"ANSI_X3.4-1968", 20127}, {"ISO-8859-1", 28591},
        {"ISO_8859-1:1987", 28591}, {"csISOLatin1", 28591}, {"ISO-8859-15", 28605},
        {"Latin-9", 28605},      {"UTF-8", 65001},          {"windows-1252", 1252},
        {"cp1252", 1252},        {"windows-1250", 1250},    {"UTF7", 65000},
        {"UTF8", 65001},         {"UTF16", 1200},           {"UTF16LE", 1200},
        {"UTF16BE", 1201},       {"UTF32", 12000},          {"UTF32LE", 12000},
        {"UTF32BE", 12001},      {"ks_c_5601-1987", 949},   {"GBK", 936},
        {"GB18030", 54936},      {"EUC-JP", 51932},         {"ISO-2022-JP", 50220},
        {"KOI8-U", 21866},       {"IBM01141", 1141},        {"macintosh", 10000},
        {"ISO-8859-8-I", 38598}, {"TIS-620", 874},          {"Johab", 1361},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CharsetToTextEncoding(c.name)->CodePage(), WineHasNoTable(c.name) ? 28591 : c.codePage) << c.name;
    }
}

TEST(CharsetNames, OneSharedObjectPerCodePage) {
    EXPECT_EQ(CharsetToTextEncoding("UTF-8"), CharsetToTextEncoding("utf8"));
    EXPECT_EQ(CharsetToTextEncoding("KOI8-R"), CharsetToTextEncoding("csKOI8R"));
    EXPECT_EQ(CharsetToTextEncoding("us-ascii"), UndeclaredTextEncoding());
    EXPECT_EQ(CharsetToTextEncoding("x-unbekannt"), CharsetToTextEncoding(""));
}

struct TEncodeCase {
    const char* charset;
    std::string utf8;
    std::string expected;
};

class CharsetEncodeTest : public ::testing::TestWithParam<TEncodeCase> {};

TEST_P(CharsetEncodeTest, EncodesFromUtf8WithQuestionMarks) {
    const TEncodeCase& c = GetParam();
    if (WineHasNoTable(c.charset)) GTEST_SKIP() << "Wine has no table for " << c.charset;
    EXPECT_EQ(CharsetToTextEncoding(c.charset)->FromUtf8(c.utf8), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Charsets, CharsetEncodeTest,
    ::testing::Values(
        TEncodeCase{"iso-8859-1", "Grüße für 5 €", "Gr\xFC\xDF" "e f\xFCr 5 ?"},
        TEncodeCase{"iso-8859-1", "a\xC3(b", "a?(b"},
        TEncodeCase{"iso-8859-15", "5 €", "5 \xA4"},
        TEncodeCase{"windows-1252", "„€“ Ω", "\x84\x80\x93 ?"},
        TEncodeCase{"us-ascii", "Grüße", "Gr??e"},
        TEncodeCase{"", "ä€", "\xE4?"},
        TEncodeCase{"UTF-8", "ä\xFF", "ä?"},
        TEncodeCase{"UTF-16BE", "Gü", std::string("\0G\0\xFC", 4)},
        TEncodeCase{"UTF-16LE", "\xF0\x9F\x98\x81", std::string("=\xD8\x01\xDE", 4)},
        TEncodeCase{"UTF-32LE", "ü\xF0\x9F\x98\x81\xFF", std::string("\xFC\0\0\0\x01\xF6\x01\0?\0\0\0", 12)},
        TEncodeCase{"UTF-7", "Grüße 1+1~", "Gr+APwA3w-e 1+-1+AH4-"},
        TEncodeCase{"KOI8-R", "При ä", "\xF0\xD2\xC9 ?"},
        TEncodeCase{"IBM037", "Aä€", "\xC1\x43\x6F"},
        TEncodeCase{"Shift_JIS", "日x\xFF", "\x93\xFAx?"},
        // A stateful code page leaves its shift before the replacement.
        TEncodeCase{"ISO-2022-JP", "日ä", "\x1B$BF|\x1B(B?"},
        // Through the system tables each piece of broken UTF-8 becomes one
        // "?": every byte of an overlong form, of a surrogate or of a code
        // past U+10FFFF, and a sequence cut short as a whole.
        TEncodeCase{"KOI8-R", "a\xE0\x80\xAF" "b", "a???b"},
        TEncodeCase{"KOI8-R", "a\xF0\x80\x80\xAF" "b", "a????b"},
        TEncodeCase{"KOI8-R", "a\xED\xA0\x80" "b", "a???b"},
        TEncodeCase{"KOI8-R", "a\xF4\x90\x80\x80" "b", "a????b"},
        TEncodeCase{"KOI8-R", "a\xE2\x82" "b", "a?b"}),
    [](const ::testing::TestParamInfo<TEncodeCase>& info) {
        return kdv::testing::CaseNameFrom(info.param.charset, info.index);
    });

TEST(CharsetRoundTrip, EncodedTextDecodesToTheSameText) {
    const std::string text = "Lagemeldung: Pegel 3,5 m - Grüße aus der Straße";
    for (const char* name : {"UTF-8", "UTF-16LE", "UTF-16BE", "UTF-7", "UTF-32BE", "windows-1252",
                             "ISO-8859-2", "IBM850", "GB18030"}) {
        const auto encoding = CharsetToTextEncoding(name);
        EXPECT_EQ(encoding->ToUtf8(encoding->FromUtf8(text)), text) << name;
    }
}

TEST(UndeclaredText, KeepsUtf8AndReadsAnythingElseAsWindows1252) {
    const struct {
        std::string bytes;
        std::string expected;
    } cases[] = {
        {"Pegel steigt", "Pegel steigt"},
        {"Gr\xC3\xBC\xC3\x9F" "e", "Grüße"},
        {"Gr\xFC\xDF" "e \x80", "Grüße €"},
        // \xDF\x93 alone would be valid UTF-8; the text as a whole is not.
        {"\x84Gru\xDF\x93", "„Gruß“"},
        {"\xEF\xBB\xBF", "\xEF\xBB\xBF"},
        {"", ""},
    };
    const auto encoding = UndeclaredTextEncoding();
    for (const auto& c : cases) {
        EXPECT_EQ(encoding->ToUtf8(c.bytes), c.expected) << c.bytes;
    }
    EXPECT_EQ(encoding->CodePage(), 20127);
    EXPECT_EQ(encoding->FromUtf8("Grüße"), "Gr??e");
}

TEST(Latin1Text, EveryByteIsItsOwnCharacter) {
    std::string all;
    for (int b = 0; b < 256; ++b) {
        all += static_cast<char>(b);
    }
    const std::string utf8 = Latin1ToUtf8(all);
    EXPECT_EQ(utf8.size(), 128u + 2u * 128u);
    EXPECT_EQ(CharsetToTextEncoding("ISO-8859-1")->FromUtf8(utf8), all);
}

TEST(CharsetThreads, SystemConversionIsSafeFromSeveralThreads) {
    const auto encoding = CharsetToTextEncoding("KOI8-R");
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                if (encoding->ToUtf8("\xF0\xD2\xC9") != "При" || encoding->FromUtf8("При") != "\xF0\xD2\xC9") {
                    ++failures[t];
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace kdv
