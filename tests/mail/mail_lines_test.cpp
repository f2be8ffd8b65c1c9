#include "mail/mail_lines.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kdv {
namespace {

std::vector<std::string> Items(const TMailLines& lines) {
    std::vector<std::string> items;
    for (const std::string_view line : lines) items.emplace_back(line);
    EXPECT_EQ(items.size(), lines.size());
    return items;
}

TEST(MailLines, TextSplitsAtEveryBreakForm) {
    struct TCase {
        const char* name;
        std::string text;
        std::vector<std::string> lines;
    };
    const TCase cases[] = {
        {"CR LF", "a\r\nb\r\n", {"a", "b"}},
        {"LF and CR alone", "a\nb\rc", {"a", "b", "c"}},
        {"empty lines kept, a break at the end adds none", "\r\n\na\r\n\r\n", {"", "", "a", ""}},
        {"a CR before a CR LF", "a\r\r\nb", {"a", "", "b"}},
        {"no text", "", {}},
        {"one break", "\n", {""}},
    };
    for (const auto& c : cases) EXPECT_EQ(Items(TMailLines::FromText(c.text)), c.lines) << c.name;
}

TEST(MailLines, GrowsAndShrinksAtTheEnd) {
    TMailLines lines{"eins", ""};
    lines.push_back("zwei\rmit CR");
    lines.push_back("drei\nvier");
    EXPECT_EQ(Items(lines), (std::vector<std::string>{"eins", "", "zwei\rmit CR", "drei", "vier"}));
    EXPECT_EQ(lines.back(), "vier");
    lines.pop_back();
    lines.pop_back();
    lines.pop_back();
    EXPECT_EQ(lines.back(), "");
    lines.pop_back();
    EXPECT_EQ(lines.back(), "eins");
    EXPECT_EQ(lines, (TMailLines{"eins"}));
    lines.clear();
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(lines.ByteSize(), 0u);
}

}  // namespace
}  // namespace kdv
