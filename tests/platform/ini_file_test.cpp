#include "platform/ini_file.h"

#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/ansi_code_page.h"
#include "platform/code_page_converter.h"
#include "platform/dira_error.h"
#include "support/file_rights_bypass.h"
#include "support/expect_raises.h"
#include "support/temp_dir.h"
#include "support/utf16_bytes.h"

using kdv::testing::ExpectRaises;

namespace kdv {
namespace {

using kdv::testing::TTempDir;
using kdv::testing::Utf16Bytes;
namespace fs = std::filesystem;

void WriteBytes(const fs::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string ReadBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> FolderNames(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    return names;
}

class IniFileTest : public ::testing::Test {
protected:
    TTempDir dir{"diravid-ini"};
    fs::path path = dir / "diravid.ini";
    TIniFile ini{path};

    std::string WriteError() const { return "In " + path.string() + " kann nicht geschrieben werden"; }
};

// ---------------------------------------------------------------- reading

struct ReadCase {
    const char* name;
    std::string file;
    std::string section;
    std::string key;
    std::string expected;  // "<default>" when the default must come back
};

class IniReadStringTest : public IniFileTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(IniReadStringTest, FindsTheValueAsAProfileFileReaderWould) {
    const ReadCase& c = GetParam();
    WriteBytes(path, c.file);
    EXPECT_EQ(ini.ReadString(c.section, c.key, "<default>"), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Format, IniReadStringTest,
    ::testing::Values(
        ReadCase{"plain", "[SMTP]\r\nHost=mail.example\r\n", "SMTP", "Host", "mail.example"},
        ReadCase{"names_without_case", "[smtp]\r\nHOST=mail.example\r\n", "SMTP", "Host", "mail.example"},
        ReadCase{"umlaut_names_without_case", "[Übung]\r\nSchlüssel=1\r\n", "übung", "SCHLÜSSEL", "1"},
        ReadCase{"blanks_around_names_and_values", "  [ SMTP ]  \r\n\t Host \t=  mail.example \t\r\n", "SMTP",
                 "Host", "mail.example"},
        ReadCase{"blanks_inside_the_value_kept", "[A]\r\nK= a  b \r\n", "A", "K", "a  b"},
        ReadCase{"quotes_removed", "[A]\r\nK=\"  a b  \"\r\n", "A", "K", "  a b  "},
        ReadCase{"lone_quote_kept", "[A]\r\nK=\"abc\r\n", "A", "K", "\"abc"},
        ReadCase{"single_quote_char_kept", "[A]\r\nK=\"\r\n", "A", "K", "\""},
        ReadCase{"empty_value_is_no_default", "[A]\r\nK=\r\n", "A", "K", ""},
        ReadCase{"equals_sign_inside_value", "[A]\r\nK=a=b\r\n", "A", "K", "a=b"},
        ReadCase{"comment_is_no_key", "[A]\r\n;K=commented\r\n", "A", "K", "<default>"},
        ReadCase{"comment_after_blanks_is_no_key", "[A]\r\n  ; K=commented\r\nK=real\r\n", "A", "K", "real"},
        ReadCase{"line_without_equals_is_no_key", "[A]\r\nK\r\n", "A", "K", "<default>"},
        ReadCase{"text_after_section_bracket_ignored", "[A] ; note\r\nK=1\r\n", "A", "K", "1"},
        ReadCase{"key_of_other_section", "[A]\r\nK=1\r\n[B]\r\n", "B", "K", "<default>"},
        ReadCase{"key_before_any_section", "K=1\r\n[A]\r\n", "A", "K", "<default>"},
        ReadCase{"missing_section", "[A]\r\nK=1\r\n", "Z", "K", "<default>"},
        ReadCase{"first_key_wins", "[A]\r\nK=1\r\nK=2\r\n", "A", "K", "1"},
        ReadCase{"repeated_section_searched", "[A]\r\nX=1\r\n[B]\r\nK=b\r\n[a]\r\nK=2\r\n", "A", "K", "2"},
        ReadCase{"lf_line_ends", "[A]\nK=1\nL=2\n", "A", "L", "2"},
        ReadCase{"cr_line_ends", "[A]\rK=1\rL=2\r", "A", "L", "2"},
        ReadCase{"no_final_break", "[A]\r\nK=last", "A", "K", "last"},
        ReadCase{"utf8_mark_skipped", "\xEF\xBB\xBF[A]\r\nK=Grüße\r\n", "A", "K", "Grüße"},
        ReadCase{"windows1252_without_mark", "[A]\r\nK=Gr\xFC\xDF" "e \x80\r\n", "A", "K", "Grüße €"},
        ReadCase{"empty_file", "", "A", "K", "<default>"}),
    [](const auto& info) { return info.param.name; });

TEST_F(IniFileTest, MissingFileYieldsEveryDefault) {
    EXPECT_EQ(ini.ReadString("Database", "Database", "Orldb"), "Orldb");
    EXPECT_EQ(ini.ReadInteger("SMTP", "Port", 10), 10);
    EXPECT_TRUE(ini.ReadBool("IMAP", "SSL", true));
    EXPECT_FALSE(ini.ReadBool("IMAP", "Aktiv", false));
    EXPECT_EQ(ini.FileName(), path);
}

TEST_F(IniFileTest, UnreadableFileYieldsDefaults) {
    fs::create_directory(path);  // a folder in the file's place cannot be read, even by root
    EXPECT_EQ(ini.ReadString("A", "K", "d"), "d");
    EXPECT_EQ(ini.ReadInteger("A", "K", 7), 7);
}

TEST_F(IniFileTest, ReadsUtf16FilesByTheirMark) {
    // "ü", a letter outside the BMP (surrogate pair) and CR LF line ends.
    const std::u16string text = u"[IMAP]\r\nHost=m\u00FCll.example\r\nName=\U0001F600\r\n";
    for (const bool bigEndian : {false, true}) {
        SCOPED_TRACE(bigEndian ? "big endian" : "little endian");
        WriteBytes(path, Utf16Bytes(text, bigEndian));
        EXPECT_EQ(ini.ReadString("imap", "host", ""), "müll.example");
        EXPECT_EQ(ini.ReadString("IMAP", "Name", ""), "\U0001F600");
    }
}

TEST_F(IniFileTest, Utf16WithoutMarkIsNotGuessed) {
    WriteBytes(path, Utf16Bytes(u"[A]\r\nK=1\r\n", false, false));
    EXPECT_EQ(ini.ReadString("A", "K", "d"), "d");
}

TEST_F(IniFileTest, LongValuesAreCutAtWholeCharacters) {
    const std::string ascii(3000, 'a');
    std::string umlauts;
    for (int i = 0; i < 3000; ++i) umlauts += "ä";
    WriteBytes(path, "[A]\r\nAscii=" + ascii + "\r\nUmlauts=" + umlauts + "\r\nExact=" + ascii.substr(0, 2047) +
                         "\r\nQuoted=\"" + ascii.substr(0, 2047) + "\"\r\n");
    EXPECT_EQ(ini.ReadString("A", "Ascii", ""), ascii.substr(0, kMaxIniValueChars));
    EXPECT_EQ(ini.ReadString("A", "Umlauts", ""), umlauts.substr(0, 2 * kMaxIniValueChars));
    EXPECT_EQ(ini.ReadString("A", "Exact", "").size(), 2047u);
    EXPECT_EQ(ini.ReadString("A", "Quoted", ""), ascii.substr(0, 2047));
}

TEST_F(IniFileTest, EveryReadGoesToTheFile) {
    WriteBytes(path, "[Mail]\r\nNeuNachricht=0\r\n");
    EXPECT_FALSE(ini.ReadBool("Mail", "NeuNachricht", false));
    WriteBytes(path, "[Mail]\r\nNeuNachricht=1\r\n");
    EXPECT_TRUE(ini.ReadBool("Mail", "NeuNachricht", false));
    fs::remove(path);
    EXPECT_FALSE(ini.ReadBool("Mail", "NeuNachricht", false));
}

struct NumberCase {
    const char* name;
    std::string value;  // value text in the file; "<none>" for a missing key
    int defaultValue;
    int expected;
};

class IniReadIntegerTest : public IniFileTest, public ::testing::WithParamInterface<NumberCase> {};

TEST_P(IniReadIntegerTest, ConvertsDecimalAndHexOrFallsBack) {
    const NumberCase& c = GetParam();
    WriteBytes(path, c.value == "<none>" ? "[SMTP]\r\n" : "[SMTP]\r\nPort=" + c.value + "\r\n");
    EXPECT_EQ(ini.ReadInteger("SMTP", "Port", c.defaultValue), c.expected) << "value: " << c.value;
}

INSTANTIATE_TEST_SUITE_P(
    Values, IniReadIntegerTest,
    ::testing::Values(
        NumberCase{"decimal", "25", 10, 25},
        NumberCase{"missing_key_gives_default", "<none>", 10, 10},
        NumberCase{"empty_gives_default", "", 10, 10},
        NumberCase{"negative", "-3", 0, -3},
        NumberCase{"plus_sign", "+7", 0, 7},
        NumberCase{"leading_zeros", "007", 0, 7},
        NumberCase{"hex_prefix", "0x3E3", 0, 995},
        NumberCase{"hex_capital_prefix_lower_digits", "0X3e3", 0, 995},
        NumberCase{"hex_dollar", "$3E3", 0, 995},
        NumberCase{"hex_one", "0x1", 0, 1},
        NumberCase{"quoted_number", "\"42\"", 0, 42},
        NumberCase{"word_gives_default", "abc", 143, 143},
        NumberCase{"ja_is_no_number", "ja", 0, 0},
        NumberCase{"digits_then_letters", "12abc", 5, 5},
        NumberCase{"blank_inside", "1 2", 5, 5},
        NumberCase{"blank_after_sign", "- 5", 5, 5},
        NumberCase{"two_signs", "+-5", 5, 5},
        NumberCase{"sign_only", "-", 5, 5},
        NumberCase{"hex_prefix_only", "0x", 5, 5},
        NumberCase{"dollar_only", "$", 5, 5},
        NumberCase{"sign_after_hex_prefix", "0x-5", 5, 5},
        NumberCase{"sign_after_dollar", "$+5", 5, 5},
        NumberCase{"bad_hex_digit", "0xG1", 5, 5},
        NumberCase{"fraction", "1.5", 5, 5},
        NumberCase{"largest_int", "2147483647", 0, INT_MAX},
        NumberCase{"smallest_int", "-2147483648", 0, INT_MIN},
        NumberCase{"above_largest_int", "2147483648", 5, 5},
        NumberCase{"below_smallest_int", "-2147483649", 5, 5},
        NumberCase{"far_too_large", "99999999999999999999", 5, 5},
        NumberCase{"largest_hex", "$7FFFFFFF", 0, INT_MAX},
        NumberCase{"hex_above_largest_int", "$80000000", 5, 5},
        NumberCase{"hex_beyond_64_bits", "0x1FFFFFFFFFFFFFFFF", 5, 5}),
    [](const auto& info) { return std::string(info.param.name); });

struct BoolCase {
    const char* name;
    std::string value;
    bool defaultValue;
    bool expected;
};

class IniReadBoolTest : public IniFileTest, public ::testing::WithParamInterface<BoolCase> {};

TEST_P(IniReadBoolTest, ReadsNumbersNotWords) {
    const BoolCase& c = GetParam();
    WriteBytes(path, "[IMAP]\r\nAktiv=" + c.value + "\r\n");
    EXPECT_EQ(ini.ReadBool("IMAP", "Aktiv", c.defaultValue), c.expected) << "value: " << c.value;
}

INSTANTIATE_TEST_SUITE_P(
    Values, IniReadBoolTest,
    ::testing::Values(
        BoolCase{"one", "1", false, true},
        BoolCase{"hex_one", "0x1", false, true},
        BoolCase{"negative_number", "-3", false, true},
        BoolCase{"zero", "0", true, false},
        BoolCase{"hex_zero", "$0", true, false},
        BoolCase{"empty_gives_default_false", "", false, false},
        BoolCase{"empty_gives_default_true", "", true, true},
        BoolCase{"word_gives_default_false", "ja", false, false},
        BoolCase{"word_gives_default_true", "ja", true, true},
        BoolCase{"true_is_no_number", "true", false, false}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- writing

TEST_F(IniFileTest, WriteCreatesTheFile) {
    ini.WriteString("Debug", "Laststartcheckmail", "29.01.2024 14:05:09");
    EXPECT_EQ(ReadBytes(path), "[Debug]\r\nLaststartcheckmail=29.01.2024 14:05:09\r\n");
    EXPECT_EQ(ini.ReadString("Debug", "Laststartcheckmail", ""), "29.01.2024 14:05:09");
}

// A file without a byte-order mark is in the system's own code page (UTF-8
// on Linux, the ANSI code page on Windows), and a new value is written in it.
std::string InSystemCodePage(std::string_view utf8) {
    return OpenCodePageConverter(SystemAnsiCodePage())->FromUtf8(utf8);
}

struct EditCase {
    const char* name;
    std::string before;
    std::string section;
    std::string key;
    std::string value;
    std::string after;
};

class IniWriteTest : public IniFileTest, public ::testing::WithParamInterface<EditCase> {};

TEST_P(IniWriteTest, ChangesOnlyTheOneLine) {
    const EditCase& c = GetParam();
    WriteBytes(path, c.before);
    ini.WriteString(c.section, c.key, c.value);
    EXPECT_EQ(ReadBytes(path), c.after);
}

const std::string kOperatorFile =
    "; KorvaneDiraVid\n"
    "[Debug]\n"
    "  lastStartCheckMail = 01.01.2024 00:00:00\n"
    "Other=x\n"
    "\n"
    "; mail settings\n"
    "[SMTP]\n"
    "Host=mail.example\n"
    "\n";

INSTANTIATE_TEST_SUITE_P(
    Edits, IniWriteTest,
    ::testing::Values(
        EditCase{"existing_key_keeps_spelling_and_indent", kOperatorFile, "DEBUG", "Laststartcheckmail",
                 "29.01.2024 14:05:09",
                 "; KorvaneDiraVid\n[Debug]\n  lastStartCheckMail=29.01.2024 14:05:09\nOther=x\n\n"
                 "; mail settings\n[SMTP]\nHost=mail.example\n\n"},
        EditCase{"new_key_after_the_section_s_last_line", kOperatorFile, "Debug", "Lastendcheckmail", "v",
                 "; KorvaneDiraVid\n[Debug]\n  lastStartCheckMail = 01.01.2024 00:00:00\nOther=x\n"
                 "Lastendcheckmail=v\n\n; mail settings\n[SMTP]\nHost=mail.example\n\n"},
        EditCase{"new_key_in_the_last_section", kOperatorFile, "SMTP", "Port", "25",
                 "; KorvaneDiraVid\n[Debug]\n  lastStartCheckMail = 01.01.2024 00:00:00\nOther=x\n\n"
                 "; mail settings\n[SMTP]\nHost=mail.example\nPort=25\n\n"},
        EditCase{"new_section_at_the_end", kOperatorFile, "POP3", "Aktiv", "1", kOperatorFile + "[POP3]\nAktiv=1\n"},
        EditCase{"new_section_after_a_file_without_final_break", "[A]\r\nK=1", "B", "L", "2",
                 "[A]\r\nK=1\r\n\r\n[B]\r\nL=2\r\n"},
        EditCase{"new_key_in_a_section_without_final_break", "[A]\rK=1", "A", "L", "2", "[A]\rK=1\rL=2\r"},
        EditCase{"empty_section_gets_its_first_key", "[A]\r\n[B]\r\n", "a", "K", "1", "[A]\r\nK=1\r\n[B]\r\n"},
        EditCase{"commented_key_left_alone", "[A]\r\n;K=old\r\n", "A", "K", "new", "[A]\r\nK=new\r\n;K=old\r\n"},
        EditCase{"key_in_the_repeated_section_is_the_one_read", "[A]\r\nX=1\r\n[a]\r\nK=old\r\n", "A", "K", "new",
                 "[A]\r\nX=1\r\n[a]\r\nK=new\r\n"},
        EditCase{"empty_file", "", "A", "K", "1", "[A]\r\nK=1\r\n"},
        EditCase{"other_lines_keep_their_bytes", "[A]\r\nName=Gr\xFC\xDF" "e\r\nK=1\r\n", "A", "K", "ü",
                 "[A]\r\nName=Gr\xFC\xDF" "e\r\nK=" + InSystemCodePage("ü") + "\r\n"},
        EditCase{"utf8_mark_kept", "\xEF\xBB\xBF[A]\r\nK=1\r\n", "A", "K", "2", "\xEF\xBB\xBF[A]\r\nK=2\r\n"},
        EditCase{"names_trimmed", "", " A ", " K ", "1", "[A]\r\nK=1\r\n"}),
    [](const auto& info) { return info.param.name; });

TEST_F(IniFileTest, WrittenValuesReadBackUnchanged) {
    for (const std::string value : {"", "plain", "  blanks around  ", "\"quoted\"", "\"", "a=b", "Grüße",
                                    "tab\tinside", ";not a comment"}) {
        SCOPED_TRACE(value);
        ini.WriteString("A", "K", value);
        EXPECT_EQ(ini.ReadString("A", "K", "<default>"), value);
    }
}

TEST_F(IniFileTest, WritesFromTwoThreadsLoseNoKey) {
    constexpr int kKeysPerThread = 25;
    const auto writeKeys = [&](const std::string& prefix) {
        TIniFile own(path);
        for (int i = 0; i < kKeysPerThread; ++i) own.WriteString("Debug", prefix + std::to_string(i), "x");
    };
    std::thread first(writeKeys, "a");
    std::thread second(writeKeys, "b");
    first.join();
    second.join();
    for (const char* prefix : {"a", "b"}) {
        for (int i = 0; i < kKeysPerThread; ++i) {
            EXPECT_EQ(ini.ReadString("Debug", prefix + std::to_string(i), "lost"), "x") << prefix << i;
        }
    }
}

TEST_F(IniFileTest, Utf16FileStaysUtf16) {
    for (const bool bigEndian : {false, true}) {
        SCOPED_TRACE(bigEndian ? "big endian" : "little endian");
        WriteBytes(path, Utf16Bytes(u"; Einstellungen f\u00FCr \U0001F600\r\n[Debug]\r\nLaststartcheckmail=alt\r\n",
                                    bigEndian));
        ini.WriteString("Debug", "Laststartcheckmail", "29.01.2024 14:05:09");
        ini.WriteString("Debug", "Lastendcheckmail", "Grüße");
        EXPECT_EQ(ReadBytes(path),
                  Utf16Bytes(u"; Einstellungen f\u00FCr \U0001F600\r\n[Debug]\r\n"
                             u"Laststartcheckmail=29.01.2024 14:05:09\r\nLastendcheckmail=Gr\u00FC\u00DFe\r\n",
                             bigEndian));
    }
}

TEST_F(IniFileTest, UnstorableNamesAndValuesAreRefused) {
    const std::string before = "[A]\r\nK=1\r\n";
    struct Case {
        std::string section, key, value;
    };
    for (const Case& c : {Case{"A", "K", "two\r\nlines"}, Case{"A", "K", "x\n[Evil]"}, Case{"A", "K", "cr\r"},
                          Case{"", "K", "1"}, Case{"  ", "K", "1"}, Case{"A]", "K", "1"}, Case{"A\n", "K", "1"},
                          Case{"A", "", "1"}, Case{"A", "K=L", "1"}, Case{"A", ";K", "1"},
                          Case{"A", "[K", "1"}, Case{"A", "K\r\nL", "1"}}) {
        SCOPED_TRACE("[" + c.section + "] " + c.key + "=" + c.value);
        WriteBytes(path, before);
        const EDiraError e = ExpectRaises([&] { ini.WriteString(c.section, c.key, c.value); });
        EXPECT_EQ(std::string(e.what()), WriteError());
        EXPECT_EQ(ReadBytes(path), before);
    }
}

TEST_F(IniFileTest, RefusedWriteRaisesAndLeavesNothingBehind) {
    // A folder in the file's place: the rename over it is refused even for root.
    fs::create_directory(path);
    const EDiraError e = ExpectRaises([&] { ini.WriteString("Debug", "Lastendcheckmail", "x"); });
    EXPECT_EQ(std::string(e.what()), WriteError());
    EXPECT_TRUE(fs::is_directory(path));
    EXPECT_EQ(FolderNames(dir.Path()), std::vector<std::string>{"diravid.ini"});

    TIniFile nowhere(dir / "missing-folder" / "diravid.ini");
    EXPECT_THROW(nowhere.WriteString("A", "K", "1"), EDiraError);
}

TEST_F(IniFileTest, ReadOnlyFileIsNotReplaced) {
    if (testing::BypassesFileRights()) GTEST_SKIP() << "root may write the file despite its rights";
    WriteBytes(path, "[A]\r\nK=1\r\n");
    fs::permissions(path, fs::perms::owner_read);
    const EDiraError e = ExpectRaises([&] { ini.WriteString("A", "K", "2"); });
    EXPECT_EQ(std::string(e.what()), WriteError());
    EXPECT_EQ(ReadBytes(path), "[A]\r\nK=1\r\n");
    EXPECT_EQ(FolderNames(dir.Path()), std::vector<std::string>{"diravid.ini"});
}

TEST_F(IniFileTest, RewriteKeepsPermissionsAndLeavesNoTemporaryFile) {
    WriteBytes(path, "[A]\r\nK=1\r\n");
    // Rights apart from the usual ones; what the system makes of them (Windows
    // has no group rights) must survive the rewrite.
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    const fs::perms before = fs::status(path).permissions();
    ini.WriteString("A", "K", "2");
    EXPECT_EQ(fs::status(path).permissions(), before);
    EXPECT_EQ(FolderNames(dir.Path()), std::vector<std::string>{"diravid.ini"});
    EXPECT_EQ(ReadBytes(path), "[A]\r\nK=2\r\n");
}

TEST_F(IniFileTest, WriteThroughSymbolicLinkReplacesItsTarget) {
    fs::create_directory(dir / "conf");
    const fs::path real = dir / "conf" / "real.ini";
    WriteBytes(real, "[A]\r\nK=1\r\n");
    std::error_code error;
    fs::create_symlink(real, path, error);
    // Windows' C++ library makes no links, and Windows gives them only to
    // administrators and developer machines.
    if (error) GTEST_SKIP() << "no symbolic link here: " << error.message();
    ini.WriteString("A", "K", "2");
    EXPECT_TRUE(fs::is_symlink(path));
    EXPECT_EQ(ReadBytes(real), "[A]\r\nK=2\r\n");
}

TEST_F(IniFileTest, OversizedFileIsNeitherReadNorRewritten) {
    const std::string big = "[A]\r\nK=1\r\n" + std::string(kMaxIniFileBytes, ';');
    WriteBytes(path, big);
    EXPECT_EQ(ini.ReadString("A", "K", "d"), "d");
    EXPECT_THROW(ini.WriteString("A", "K", "2"), EDiraError);
    EXPECT_EQ(fs::file_size(path), big.size());
}

}  // namespace
}  // namespace kdv
