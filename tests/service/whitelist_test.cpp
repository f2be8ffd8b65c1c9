#include "service/whitelist.h"

#include <gtest/gtest.h>

#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "incoming/sender_rules.h"
#include "platform/dira_error.h"
#include "support/expect_raises.h"
#include "support/file_rights_bypass.h"
#include "support/temp_dir.h"
#include "support/utf16_bytes.h"

using kdv::testing::ExpectRaises;

namespace kdv {
namespace {

using kdv::testing::TTempDir;
using kdv::testing::Utf16Bytes;
namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

void WriteBytes(const fs::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
}

TEST(Whitelist, StartsWithTheStarAlone) {
    const TWhitelist whitelist;
    EXPECT_EQ(whitelist.Entries, Lines{"*"});
    EXPECT_EQ(whitelist.Text(), "*\r\n");
}

struct SplitCase {
    const char* name;
    std::string text;
    Lines entries;
};

class WhitelistSetTextTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(WhitelistSetTextTest, SplitsLinesAsAFileWould) {
    const SplitCase& c = GetParam();
    TWhitelist whitelist;
    whitelist.SetText(c.text);
    EXPECT_EQ(whitelist.Entries, c.entries);
    std::string text;
    for (const std::string& entry : c.entries) text += entry + "\r\n";
    EXPECT_EQ(whitelist.Text(), text);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, WhitelistSetTextTest,
    ::testing::Values(SplitCase{"empty", "", {}},
                      SplitCase{"crlf_final_break_adds_nothing", "alpha\r\nbeta\r\n", {"alpha", "beta"}},
                      SplitCase{"no_final_break", "alpha\r\nbeta", {"alpha", "beta"}},
                      SplitCase{"lf", "alpha\nbeta\n", {"alpha", "beta"}},
                      SplitCase{"cr", "alpha\rbeta\r", {"alpha", "beta"}},
                      SplitCase{"mixed_and_lf_cr_is_two_breaks", "a\r\nb\nc\rd\n\re", {"a", "b", "c", "d", "", "e"}},
                      SplitCase{"lone_break_is_one_empty_entry", "\r\n", {""}},
                      SplitCase{"empty_lines_kept", "a\r\n\r\n\r\nb\r\n", {"a", "", "", "b"}},
                      SplitCase{"lines_unchanged", " a@x.example \r\n# no comment\r\na@x.example\r\na@x.example\r\n",
                                {" a@x.example ", "# no comment", "a@x.example", "a@x.example"}}),
    [](const auto& info) { return info.param.name; });

struct FileCase {
    const char* name;
    std::string bytes;
    Lines entries;
};

class WhitelistFileTest : public ::testing::TestWithParam<FileCase> {
protected:
    TTempDir dir{"diravid-whitelist"};
    fs::path path = dir / "whitelist.txt";
};

TEST_P(WhitelistFileTest, ReadsTheLinesInTheFilesEncoding) {
    const FileCase& c = GetParam();
    WriteBytes(path, c.bytes);
    TWhitelist whitelist;
    whitelist.LoadIfPresent(path);
    EXPECT_EQ(whitelist.Entries, c.entries);
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, WhitelistFileTest,
    ::testing::Values(
        FileCase{"empty_file_permits_nobody", "", {}},
        FileCase{"utf8_without_mark", "müller@x.example\r\nbeta\r\n", {"müller@x.example", "beta"}},
        FileCase{"utf8_mark_is_no_text", "\xEF\xBB\xBFmüller@x.example\nbeta", {"müller@x.example", "beta"}},
        FileCase{"mark_alone", "\xEF\xBB\xBF", {}},
        FileCase{"windows1252_without_mark", "m\xFCller@x.example\r\n", {"müller@x.example"}},
        FileCase{"utf16_little_endian", Utf16Bytes(u"m\u00FCller@x.example\r\n\U0001F600\r\n", false),
                 {"müller@x.example", "\U0001F600"}},
        FileCase{"utf16_big_endian", Utf16Bytes(u"alpha\rbeta\r", true), {"alpha", "beta"}},
        FileCase{"utf16_broken_surrogate_and_odd_byte", Utf16Bytes(u"a\xD800", false) + "x",
                 {"a\uFFFD\uFFFD"}}),
    [](const auto& info) { return info.param.name; });

class WhitelistLoadTest : public ::testing::Test {
protected:
    TTempDir dir{"diravid-whitelist"};
    fs::path path = dir / "whitelist.txt";
};

TEST_F(WhitelistLoadTest, MissingFileLeavesTheStarAlone) {
    TWhitelist whitelist;
    whitelist.SetText("alpha\r\n");
    whitelist.LoadIfPresent(path);
    EXPECT_EQ(whitelist.Entries, Lines{"*"});
}

TEST_F(WhitelistLoadTest, FileReplacesTheStar) {
    WriteBytes(path, "alpha\r\nbeta\r\n");
    TWhitelist whitelist;
    whitelist.LoadIfPresent(path);
    EXPECT_EQ(whitelist.Entries, (Lines{"alpha", "beta"}));
    EXPECT_EQ(whitelist.Text(), "alpha\r\nbeta\r\n");
    // Read once: a later change of the file does not reach the loaded list.
    WriteBytes(path, "gamma\r\n");
    EXPECT_EQ(whitelist.Entries, (Lines{"alpha", "beta"}));
}

TEST_F(WhitelistLoadTest, UnreadableFileFailsAndKeepsTheEntries) {
    fs::create_directory(path);  // a folder in the file's place cannot be read, even by root
    TWhitelist whitelist;
    whitelist.SetText("alpha\r\n");
    for (const bool ifPresent : {false, true}) {
        const EDiraError e = ExpectRaises([&] {
            ifPresent ? whitelist.LoadIfPresent(path) : whitelist.LoadFromFile(path);
        });
        EXPECT_EQ(std::string(e.what()), "Whitelist " + path.string() + " kann nicht gelesen werden: ist ein Ordner");
        EXPECT_EQ(e.ErrorKind(), TErrorKind::ekLocal);
        EXPECT_EQ(whitelist.Entries, Lines{"alpha"});
    }
}

TEST_F(WhitelistLoadTest, FileWithoutReadAccessFails) {
    if (testing::BypassesFileRights()) GTEST_SKIP() << "root reads the file despite its rights";
#ifdef _WIN32
    GTEST_SKIP() << "without mode bits the file only turns read-only, and stays readable";
#endif
    WriteBytes(path, "alpha\r\n");
    fs::permissions(path, fs::perms::none);
    TWhitelist whitelist;
    const EDiraError e = ExpectRaises([&] { whitelist.LoadIfPresent(path); });
    EXPECT_EQ(std::string(e.what()), "Whitelist " + path.string() + " kann nicht gelesen werden: Zugriff verweigert");
    EXPECT_EQ(whitelist.Entries, Lines{"*"});
}

TEST_F(WhitelistLoadTest, UndeterminableFileDoesNotFallBackToTheStar) {
    // A link that points at itself can be neither read nor told missing;
    // taking it for missing would let every sender in.
    std::error_code error;
    fs::create_symlink(path, path, error);
    // Windows' C++ library makes no links, and Windows gives them only to
    // administrators and developer machines.
    if (error) GTEST_SKIP() << "no symbolic link here: " << error.message();
    TWhitelist whitelist;
    whitelist.SetText("");
    EXPECT_THROW(whitelist.LoadIfPresent(path), EDiraError);
    EXPECT_TRUE(whitelist.Entries.empty());
}

TEST_F(WhitelistLoadTest, LoadFromFileOfAMissingFileFails) {
    TWhitelist whitelist;
    const EDiraError e = ExpectRaises([&] { whitelist.LoadFromFile(path); });
    EXPECT_EQ(std::string(e.what()), "Whitelist " + path.string() + " kann nicht gelesen werden: Datei nicht gefunden");
}

// The sender check the whitelist's entries make: whole entries, no
// substrings, ASCII case ignored.
struct AdmitCase {
    const char* name;
    Lines entries;
    std::string sender;
    bool admitted;
};

// The case name stands for the case in test output.
void PrintTo(const AdmitCase& c, std::ostream* os) { *os << c.name; }

class SenderRulesTest : public ::testing::TestWithParam<AdmitCase> {};

TEST_P(SenderRulesTest, AdmitsASenderOnlyByAWholeEntry) {
    const AdmitCase& c = GetParam();
    EXPECT_EQ(TSenderRules(c.entries).Admits(c.sender), c.admitted);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, SenderRulesTest,
    ::testing::Values(
        AdmitCase{"address", {"el@example.org"}, "el@example.org", true},
        AdmitCase{"address_any_ascii_case", {"el@example.org"}, "EL@Example.ORG", true},
        AdmitCase{"entry_any_ascii_case", {"EL@Example.ORG"}, "el@example.org", true},
        AdmitCase{"tail_of_an_entry", {"el@example.org"}, "l@example.org", false},
        AdmitCase{"piece_of_an_entry", {"el@example.org"}, "org", false},
        AdmitCase{"letter_of_an_entry", {"el@example.org"}, "e", false},
        AdmitCase{"longer_than_an_entry", {"el@example.org"}, "hel@example.org", false},
        AdmitCase{"entry_trimmed", {" \tel@example.org\t "}, "el@example.org", true},
        AdmitCase{"non_ascii_case_counts", {"jörg@example.org"}, "JÖRG@example.org", false},
        AdmitCase{"name_and_address", {"Eva Lang <el@example.org>"}, "el@example.org", true},
        AdmitCase{"name_alone_admits_nobody", {"Eva Lang <el@example.org>"}, "Eva Lang", false},
        AdmitCase{"domain", {"@example.org"}, "jeder@EXAMPLE.org", true},
        AdmitCase{"domain_not_its_subdomain", {"@example.org"}, "a@lage.example.org", false},
        AdmitCase{"domain_not_a_lookalike", {"@example.org"}, "a@badexample.org", false},
        AdmitCase{"bare_domain_is_no_rule", {"example.org"}, "a@example.org", false},
        AdmitCase{"star_alone", {"*"}, "wer@irgendwo.net", true},
        AdmitCase{"star_anywhere_admits_everyone", {"a@example.org", "*@example.com"}, "wer@irgendwo.net", true},
        AdmitCase{"star_admits_even_no_address", {"*"}, "", true},
        AdmitCase{"no_address", {"@example.org", "a@example.org"}, "", false},
        AdmitCase{"empty_entry_admits_nobody", {""}, "", false},
        AdmitCase{"no_entries", {}, "a@example.org", false}),
    [](const auto& info) { return std::string(info.param.name); });

struct EntryCase {
    const char* name;
    std::string entry;
    TSenderEntryKind kind;
    std::string value;
};

// The case name stands for the case in test output.
void PrintTo(const EntryCase& c, std::ostream* os) { *os << c.name; }

class SenderEntryTest : public ::testing::TestWithParam<EntryCase> {};

TEST_P(SenderEntryTest, ReadsTheFormOfAnEntry) {
    const EntryCase& c = GetParam();
    const TSenderEntry parsed = ParseSenderEntry(c.entry);
    EXPECT_EQ(parsed.Kind, c.kind);
    EXPECT_EQ(parsed.Value, c.value);
}

using K = TSenderEntryKind;
INSTANTIATE_TEST_SUITE_P(
    Forms, SenderEntryTest,
    ::testing::Values(EntryCase{"blank", " \t", K::Empty, ""},
                      EntryCase{"address_in_lower_case", " Eva.Lang@Example.org ", K::Address, "eva.lang@example.org"},
                      EntryCase{"name_and_address", "\"Lang, Eva\" <el@example.org>", K::Address, "el@example.org"},
                      EntryCase{"domain", "@Example.org", K::Domain, "@example.org"},
                      EntryCase{"star", "*", K::Everyone, "*"},
                      EntryCase{"star_in_an_address", "*@example.org", K::Everyone, "*@example.org"},
                      EntryCase{"comment", "# Leitstelle", K::Unrecognised, "# Leitstelle"},
                      EntryCase{"bare_domain", "example.org", K::Unrecognised, "example.org"},
                      EntryCase{"two_addresses", "a@x.org b@x.org", K::Unrecognised, "a@x.org b@x.org"},
                      EntryCase{"name_without_address", "Eva <>", K::Unrecognised, "Eva <>"},
                      EntryCase{"domain_in_brackets", "Alle <@example.org>", K::Unrecognised, "Alle <@example.org>"},
                      EntryCase{"no_local_part", "@", K::Unrecognised, "@"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SenderRules, ListsTheEntriesThatAdmitNobody) {
    const TSenderRules rules({"a@example.org", "", "# Leitstelle", "@example.net", "example.org"});
    EXPECT_EQ(rules.Unrecognised(), (Lines{"# Leitstelle", "example.org"}));
}

}  // namespace
}  // namespace kdv
