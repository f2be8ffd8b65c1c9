#include "log/text_format.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/dira_error.h"

#include "support/expect_raises.h"

using kdv::testing::ExpectRaises;

namespace kdv {
namespace {

TEST(FormatText, FillsPlaceholdersFromLeftToRight) {
    const std::string text = "Text";
    const std::filesystem::path path = "/var/log/a b.log";
    const char* nothing = nullptr;
    EXPECT_EQ(FormatText("KorvaneDiraVid konnte nicht gestartet werden! (%s)", text),
              "KorvaneDiraVid konnte nicht gestartet werden! (Text)");
    EXPECT_EQ(FormatText("Service fehlgeschlagen bei %s:%s", "start", std::string_view("x")),
              "Service fehlgeschlagen bei start:x");
    EXPECT_EQ(FormatText("%s neue, %d alte, %s%%", 3, -4L, 2.5), "3 neue, -4 alte, 2.5%");
    EXPECT_EQ(FormatText("Datei %s", path), "Datei /var/log/a b.log");
    EXPECT_EQ(FormatText("[%s]", nothing), "[]");
    EXPECT_EQ(FormatText("%s|%s", 'c', true), "c|True");
    EXPECT_EQ(FormatText("%s", "%s"), "%s");  // a value is never read as a format
}

TEST(FormatText, RaisesWhenFormatAndValuesDoNotFit) {
    const struct {
        const char* what;
        std::function<std::string()> call;
    } cases[] = {
        {"too few values", [] { return FormatText("%s und %s", 1); }},
        {"values left over", [] { return FormatText("%s", 1, 2); }},
        {"%d with a text", [] { return FormatText("%d", "1"); }},
        {"%d with a fraction", [] { return FormatText("%d", 1.5); }},
        {"unknown conversion", [] { return FormatText("%x", 1); }},
        {"percent at the end", [] { return FormatText("100%", 1); }},
    };
    for (const auto& c : cases) {
        const EDiraError e = ExpectRaises([&] { c.call(); });
        EXPECT_NE(std::string(e.what()).find("Format"), std::string::npos) << c.what;
    }
}

}  // namespace
}  // namespace kdv
