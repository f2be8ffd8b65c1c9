#include "log/log_line.h"

#include <gtest/gtest.h>

#include <climits>

#include "log_test_support.h"

namespace kdv {
namespace {

using kdv::testing::At;

TEST(LogLevelName, NamesEveryLevelAndQuestionMarkOutsideTheRange) {
    const struct {
        int level;
        std::string_view name;
    } cases[] = {
        {0, "EMERGENCY"}, {1, "ALERT"}, {2, "CRITICAL"}, {3, "FEHLER"}, {4, "Warnung"},
        {5, "Hinweis"},   {6, "Info"},  {7, "Debug"},    {8, "Debug 1"}, {9, "Debug 2"},
        {10, "?"},        {-1, "?"},    {INT_MIN, "?"},  {INT_MAX, "?"},
    };
    for (const auto& c : cases) EXPECT_EQ(LogLevelName(c.level), c.name) << c.level;
}

TEST(MaskControlChars, NamesAllThirtyTwoControlCodesInOrder) {
    std::string all;
    for (int code = 0; code < 32; ++code) all.push_back(static_cast<char>(code));
    EXPECT_EQ(MaskControlChars(all),
              "<NUL><SOH><STX><ETX><EOT><ENQ><ACK><BEL><BS><HT><LF><VT><FF><CR><SO><SI>"
              "<DLE><DC1><DC2><DC3><DC4><NAK><SYN><ETB><CAN><EM><SUB><ESC><FS><GS><RS><US>");
}

TEST(MaskControlChars, KeepsEverythingElse) {
    const struct {
        std::string text;
        std::string masked;
    } cases[] = {
        {"", ""},
        {"a\r\nb", "a<CR><LF>b"},
        {"\t\tx\t", "<HT><HT>x<HT>"},
        {"DEL \x7f stays", "DEL \x7f stays"},
        {"Prüfung ẞ €", "Prüfung ẞ €"},  // UTF-8 bytes are all above 127
        {"<CR> as text", "<CR> as text"},
        {std::string("nul\0end", 7), "nul<NUL>end"},
    };
    for (const auto& c : cases) EXPECT_EQ(MaskControlChars(c.text), c.masked) << c.text;
}

TEST(FormatLogLine, LaysOutDateTimeLevelAndTextWithCrLf) {
    const struct {
        LocalTime when;
        int level;
        std::string text;
        std::string line;
    } cases[] = {
        {At(2024, 1, 29, 14, 5, 9), 5, "KorvaneDiraVid gestartet.",
         "29.01.24 | 14:05:09 | Hinweis   | KorvaneDiraVid gestartet.\r\n"},
        {At(2000, 12, 31, 23, 59, 59) + std::chrono::milliseconds{999}, 0, "x",
         "31.12.00 | 23:59:59 | EMERGENCY | x\r\n"},
        {At(1999, 3, 4, 0, 0, 0), -7, "", "04.03.99 | 00:00:00 | ?         | \r\n"},
        {At(2024, 2, 29, 7, 8, 9), 3, "Fehler: a\r\nb",
         "29.02.24 | 07:08:09 | FEHLER    | Fehler: a<CR><LF>b\r\n"},
        {At(2024, 2, 29, 7, 8, 9), 8, "Prüfung", "29.02.24 | 07:08:09 | Debug 1   | Prüfung\r\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatLogLine(c.when, c.level, c.text), c.line);
}

}  // namespace
}  // namespace kdv
