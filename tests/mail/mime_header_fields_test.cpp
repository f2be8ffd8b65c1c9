#include "mail/mail_date.h"
#include "mail/mime_header_words.h"
#include "mail/mime_part_type.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace kdv {
namespace {

struct TTextCase {
    const char* name;
    std::string input;
    std::string expected;
};

TEST(DecodeHeaderWords, DecodesEncodedWords) {
    const TTextCase cases[] = {
        {"adjacent words lose the blank between them", "=?ISO-8859-1?Q?Gr=FC=DFe?= =?ISO-8859-1?Q?_aus?=", "Grüße aus"},
        {"B encoding", "=?UTF-8?B?R3LDvMOfZQ==?=", "Grüße"},
        {"lower-case letters", "=?utf-8?q?Gr=c3=bc=c3=9fe?=", "Grüße"},
        {"language suffix on the charset", "=?UTF-8*de?Q?Gr=C3=BC=C3=9Fe?=", "Grüße"},
        {"plain text around keeps its blanks", "Re: =?UTF-8?Q?Gr=C3=BC=C3=9Fe?= aus Bonn", "Re: Grüße aus Bonn"},
        {"word glued to text", "AW:=?UTF-8?Q?=C3=84nderung?=", "AW:Änderung"},
        {"two words in one run", "=?UTF-8?Q?a?==?UTF-8?Q?b?=", "ab"},
        {"Q escape that is not hex gives a blank", "=?UTF-8?Q?a=ZZb?=", "a b"},
        {"unknown encoding letter stays", "=?UTF-8?X?abc?=", "=?UTF-8?X?abc?="},
        {"unclosed word stays", "=?UTF-8?Q?abc", "=?UTF-8?Q?abc"},
        {"word may not span a blank", "=?UTF-8?Q?a b?=", "=?UTF-8?Q?a b?="},
        {"declared us-ascii with 8-bit bytes keeps UTF-8", "=?us-ascii?Q?Gr=C3=BC=C3=9Fe?=", "Grüße"},
        {"unknown charset falls back to 8 bit", "=?x-unknown?Q?Gr=FC=DFe?=", "Grüße"},
        {"no encoded word", "  Hallo  Welt ", "  Hallo  Welt "},
    };
    for (const auto& c : cases) EXPECT_EQ(DecodeHeaderWords(c.input), c.expected) << c.name;
}

TEST(DecodeHeaderWords, StaysLinearOnHostileText) {
    // Many openings whose encoding letter is wrong, and one far away closing.
    std::string hostile;
    for (int i = 0; i < 200000; ++i) hostile += "=?a?bb?";
    hostile += "?=";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(DecodeHeaderWords(hostile), hostile);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(AttachmentFilename, TakesDecodesAndCleansTheName) {
    struct TCase {
        const char* name;
        const char* content_type;
        const char* disposition;
        const char* expected;
    };
    const TCase cases[] = {
        {"disposition filename wins", "application/pdf; name=\"a.pdf\"", "attachment; filename=\"b.pdf\"", "b.pdf"},
        {"name when no filename", "application/pdf; name=\"a.pdf\"", "attachment", "a.pdf"},
        {"encoded word", "text/plain", "attachment; filename=\"=?UTF-8?Q?Gr=C3=BC=C3=9Fe.txt?=\"", "Grüße.txt"},
        {"encoded word unquoted", "text/plain", "attachment; filename==?UTF-8?Q?Gr=C3=BC=C3=9Fe.txt?=", "Grüße.txt"},
        {"folder parts cannot climb out", "text/plain", "attachment; filename=\"..\\\\..\\\\boot.ini\"", ".._.._boot.ini"},
        {"every invalid character", "text/plain", "attachment; filename=\"a/b:c*d?e<f>g|h\\\"i\"", "a_b_c_d_e_f_g_h_i"},
        {"RFC 2231 with charset", "application/pdf", "attachment; filename*=UTF-8''Gr%C3%BC%C3%9Fe%20neu.pdf", "Grüße neu.pdf"},
        {"RFC 2231 sections", "application/pdf", "attachment; filename*0*=UTF-8''Gr%C3%BC; filename*1=sse.pdf",
         "Grüsse.pdf"},
        {"RFC 2231 on the name", "application/pdf; name*=iso-8859-1''%E4.pdf", "", "ä.pdf"},
        {"none at all", "application/pdf", "", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(GetAttachmentFilename(c.content_type, c.disposition), c.expected) << c.name;
}

TEST(CheckAndSetType, TextOrAttachment) {
    using T = TMailMessageCoderPartType;
    struct TCase {
        const char* content_type;
        const char* disposition;
        T expected;
        const char* file_name;
    };
    const TCase cases[] = {
        {"text/plain; charset=utf-8", "", T::mcptText, ""},
        {"TEXT/HTML", "inline", T::mcptText, ""},
        {"multipart/alternative; boundary=x", "", T::mcptText, ""},
        {"application/pdf", "", T::mcptAttachment, ""},
        {"", "", T::mcptText, ""},
        {"text", "", T::mcptText, ""},
        {"text/plain", "Attachment; filename=a.txt", T::mcptAttachment, "a.txt"},
        {"text/plain", "inline; filename=a.txt", T::mcptAttachment, "a.txt"},
        {"text/csv; name=liste.csv", "", T::mcptAttachment, "liste.csv"},
        {"text/calendar; method=REQUEST", "", T::mcptAttachment, ""},
        {"text/html; name=seite.html", "", T::mcptAttachment, "seite.html"},
        {"image/png; name=b.png", "inline", T::mcptAttachment, "b.png"},
        {"multipart/mixed; boundary=x; name=m", "", T::mcptText, "m"},
    };
    for (const auto& c : cases) {
        const TMailPartKind kind = CheckAndSetType(c.content_type, c.disposition);
        EXPECT_EQ(kind.type, c.expected) << c.content_type << " / " << c.disposition;
        EXPECT_EQ(kind.file_name, c.file_name) << c.content_type << " / " << c.disposition;
    }
}

TEST(ParseMailDate, ReadsCommonForms) {
    using namespace std::chrono;
    const auto utc = [](int y, unsigned m, unsigned d, int hh, int mm, int ss) {
        return sys_time<milliseconds>(sys_days{year{y} / month{m} / day{d}} + hours{hh} + minutes{mm} + seconds{ss});
    };
    struct TCase {
        const char* text;
        sys_time<milliseconds> expected;
    };
    const TCase cases[] = {
        {"Tue, 1 Jul 2003 10:52:37 +0200", utc(2003, 7, 1, 8, 52, 37)},
        {"1 Jul 2003 10:52:37 -0130", utc(2003, 7, 1, 12, 22, 37)},
        {"Tue, 01 Jul 03 10:52 GMT", utc(2003, 7, 1, 10, 52, 0)},
        {"Mon, 31 Dec 2029 23:59:59 +0000 (UTC)", utc(2029, 12, 31, 23, 59, 59)},
        {"Thu, 29 Feb 2024 12:00:00 EST", utc(2024, 2, 29, 17, 0, 0)},
        {"Wed, 2 Oct 2024 08:00:00", utc(2024, 10, 2, 8, 0, 0)},
    };
    for (const auto& c : cases) {
        const auto parsed = ParseMailDate(c.text);
        ASSERT_TRUE(parsed.has_value()) << c.text;
        EXPECT_EQ(*parsed, c.expected) << c.text;
    }
    for (const char* bad : {"", "gestern", "31 Feb 2024 10:00:00 +0000", "1 Foo 2024 10:00", "1 Jul 2003 25:00:00"}) {
        EXPECT_FALSE(ParseMailDate(bad).has_value()) << bad;
    }
}

}  // namespace
}  // namespace kdv
