// How server replies are read: where a reply ends, its code, its text lines
// and the enhanced status codes taken off them, and codes that are no codes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "clients/smtp_reply.h"

#include "support/expect_raises.h"

using kdv::testing::ExpectRaises;

namespace kdv {
namespace {

struct TReplyCase {
    const char* name;
    std::vector<std::string> lines;  // fed one by one until the parser says the reply ended
    std::size_t lines_taken;         // how many of them belonged to the reply
    int code;
    std::vector<std::string> text;
    std::string enhanced;            // "" when none
};

void PrintTo(const TReplyCase& c, std::ostream* os) { *os << c.name; }

class ReplyReading : public ::testing::TestWithParam<TReplyCase> {};

TEST_P(ReplyReading, CodeTextAndEnhancedStatus) {
    const TReplyCase& c = GetParam();
    TSmtpReplyParser parser;
    std::size_t taken = 0;
    for (const auto& line : c.lines) {
        ++taken;
        if (parser.AddLine(line)) break;
    }
    EXPECT_EQ(taken, c.lines_taken);
    const TMailReplySMTP reply = parser.Take();
    EXPECT_EQ(reply.Code, c.code);
    EXPECT_EQ(reply.Text, c.text);
    EXPECT_EQ(reply.EnhancedCode.Text(), c.enhanced);
    EXPECT_EQ(reply.EnhancedCode.Available, !c.enhanced.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ReplyReading,
    ::testing::Values(
        TReplyCase{"SingleLine", {"250 Ok", "junk"}, 1, 250, {"Ok"}, ""},
        TReplyCase{"MultiLineEndsAtBlank",
                   {"250-mail.example", "250-STARTTLS", "250 AUTH LOGIN", "250 next reply"},
                   3, 250, {"mail.example", "STARTTLS", "AUTH LOGIN"}, ""},
        TReplyCase{"EnhancedCodesTakenOffEveryLine",
                   {"550-5.1.1 The mailbox", "550 5.1.1 does not exist"},
                   2, 550, {"The mailbox", "does not exist"}, "5.1.1"},
        TReplyCase{"EnhancedCodeWithLongNumbers", {"452 4.12.345 Too many"}, 1, 452, {"Too many"}, "4.12.345"},
        TReplyCase{"EnhancedCodeAlone", {"250 2.0.0"}, 1, 250, {""}, "2.0.0"},
        TReplyCase{"ClassThreeIsNoEnhancedCode", {"354 3.0.0 go on"}, 1, 354, {"3.0.0 go on"}, ""},
        TReplyCase{"NumberFollowedByTextIsNoEnhancedCode", {"250 2.1.0x Ok"}, 1, 250, {"2.1.0x Ok"}, ""},
        TReplyCase{"TwoPartsAreNoEnhancedCode", {"250 2.1 Ok"}, 1, 250, {"2.1 Ok"}, ""},
        TReplyCase{"FourDigitPartIsNoEnhancedCode", {"250 2.1234.0 Ok"}, 1, 250, {"2.1234.0 Ok"}, ""},
        TReplyCase{"ShortLineEndsTheReply", {"250-first", "250", "250 later"}, 2, 250, {"first", ""}, ""},
        TReplyCase{"CodeWithoutText", {"220 "}, 1, 220, {""}, ""},
        TReplyCase{"BlankCodeIsNoCode", {"    text"}, 1, 0, {"text"}, ""},
        TReplyCase{"EmptyLine", {""}, 1, 0, {""}, ""},
        TReplyCase{"HighestCode", {"999 odd"}, 1, 999, {"odd"}, ""},
        TReplyCase{"ContinuationCodesAreNotChecked", {"250-a", "xyz b"}, 2, 250, {"a", "b"}, ""}),
    [](const auto& info) { return std::string(info.param.name); });

struct TBadCodeCase {
    const char* name;
    std::string line;
    std::string message;
};

void PrintTo(const TBadCodeCase& c, std::ostream* os) { *os << c.name; }

class InvalidReplyCode : public ::testing::TestWithParam<TBadCodeCase> {};

TEST_P(InvalidReplyCode, IsRefusedWithTheCode) {
    const TBadCodeCase& c = GetParam();
    TSmtpReplyParser parser;
    const EDiraError error = ExpectRaises([&] { parser.AddLine(c.line); });
    EXPECT_EQ(error.what(), c.message);
    EXPECT_EQ(error.ErrorKind(), TErrorKind::ekReply);
    // The parser starts over after the error.
    EXPECT_TRUE(parser.AddLine("250 Ok"));
    EXPECT_EQ(parser.Take().Code, 250);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, InvalidReplyCode,
    ::testing::Values(TBadCodeCase{"Letters", "abc hello", "Antwortcode ist ungültig: abc"},
                      TBadCodeCase{"BelowHundred", "099 hello", "Antwortcode ist ungültig: 099"},
                      TBadCodeCase{"TwoDigits", "25 hello", "Antwortcode ist ungültig: 25"},
                      TBadCodeCase{"SignInCode", "+25 ok", "Antwortcode ist ungültig: +25"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReplyReading, EndlessReplyIsCutOff) {
    TSmtpReplyParser parser;
    const EDiraError error = ExpectRaises([&] {
        for (std::size_t i = 0; i < 2 * TSmtpReplyParser::kMaxReplyLines; ++i) {
            ASSERT_FALSE(parser.AddLine("250-more"));
        }
    });
    EXPECT_STREQ(error.what(), "Die Antwort des Mailservers hat zu viele Zeilen.");
}

TEST(ReplyError, CarriesCodeEnhancedCodeAndTextLines) {
    TSmtpReplyParser parser;
    parser.AddLine("550-5.7.1 Relaying");
    parser.AddLine("550 5.7.1 denied");
    const EMailSMTPReplyError error(parser.Take(), TSMTPStage::ssRcptTo);
    EXPECT_STREQ(error.what(), "Relaying\r\ndenied\r\n");
    EXPECT_EQ(error.Stage(), TSMTPStage::ssRcptTo);
    EXPECT_EQ(error.ReplyCode(), 550);
    EXPECT_EQ(error.EnhancedCode().Text(), "5.7.1");
    EXPECT_EQ(error.ErrorKind(), TErrorKind::ekReply);
}

}  // namespace
}  // namespace kdv
