// Where attachments and archive copies land on disk: stored paths mapped to
// local ones, safe attachment names, and archive copies that never overwrite.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "incoming/archive_copy.h"
#include "incoming/attachment_name.h"
#include "platform/attachment_path.h"
#include "incoming_test_fixture.h"
#include "platform/ini_file.h"
#include "support/temp_dir.h"

namespace kdv::incoming_test {
namespace {

TEST(AttachmentPathTest, MapsTheConfiguredPrefixAndTheSeparators) {
    struct Case {
        std::string stored;
        std::string windows;
        std::string lokal;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"D:\\Anlagen\\3\\17\\Plan.pdf", "D:\\Anlagen", "/srv/anlagen", "/srv/anlagen/3/17/Plan.pdf"},
        {"d:\\ANLAGEN\\3\\17\\Plan.pdf", "D:\\Anlagen\\", "/srv/anlagen/", "/srv/anlagen/3/17/Plan.pdf"},
        {"D:\\Anlagen\\3\\x", "D:/Anlagen", "/srv/anlagen", "/srv/anlagen/3/x"},
        {"\\\\server\\share\\Lage\\x.pdf", "\\\\SERVER\\share", "/mnt/share", "/mnt/share/Lage/x.pdf"},
        // Only a whole folder name counts as the prefix.
        {"D:\\Anlagen2\\3\\x", "D:\\Anlagen", "/srv/anlagen", "D:/Anlagen2/3/x"},
        {"D:\\Anlagen", "D:\\Anlagen", "/srv/anlagen", "/srv/anlagen"},
        // Without a prefix only the separators change.
        {"D:\\Anlagen\\3\\x", "", "/srv/anlagen", "D:/Anlagen/3/x"},
        {"\\3\\17\\x", "", "", "/3/17/x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MapStoredPath(c.stored, c.windows, c.lokal), c.expected) << c.stored << " | " << c.windows;
    }
}

TEST(AttachmentPathTest, ReadsTheMappingFromThePfadeSection) {
    testing::TTempDir home;
    TIniFile ini(home / "diravid.ini");
    EXPECT_EQ(LocalAttachmentPath(ini, "D:\\Anlagen\\ä.pdf"), std::filesystem::path(u8"D:/Anlagen/ä.pdf"));
    ini.WriteString("Pfade", "Windows", "D:\\Anlagen");
    ini.WriteString("Pfade", "Lokal", "/srv/lageführung");
    EXPECT_EQ(LocalAttachmentPath(ini, "D:\\Anlagen\\ä.pdf"), std::filesystem::path(u8"/srv/lageführung/ä.pdf"));
}

TEST(AttachmentNameTest, KeepsOrdinaryNamesAndDefusesHostileOnes) {
    struct Case {
        std::string received;
        std::string stored;
    };
    const std::string longStem(300, 'a');
    // The cut falls inside "ä", which then goes as a whole.
    const std::string umlautStem = std::string(195, 'b') + "ä";
    const std::vector<Case> cases = {
        {"Lage#1 Plan!&.pdf", "Lage1 Plan.pdf"},
        {"Lage_1_ Plan_.pdf", "Lage_1_ Plan_.pdf"},
        {" Bericht  final .docx", " Bericht  final .docx"},
        {"Lageplan Übersicht.png", "Lageplan Übersicht.png"},
        {"a/b\\c.txt", "a_b_c.txt"},
        {"../../x", ".._.._x"},
        {"tab\there", "tab_here"},
        {"", "Anhang7"},
        {".", "Anhang7"},
        {"...", "Anhang7"},
        {"?#", "Anhang7"},
        {longStem + ".pdf", std::string(kMaxAnhangNameBytes - 4, 'a') + ".pdf"},
        {longStem, std::string(kMaxAnhangNameBytes, 'a')},
        {umlautStem + "xyz.pdf", std::string(195, 'b') + ".pdf"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AnhangDateiname(c.received, 7), c.stored) << c.received;
    }
}

TEST(ArchiveCopyTest, NamesTheFileAfterTheLocalTime) {
    using namespace std::chrono;
    const LocalTime morning = local_days{year{2024} / 3 / 5} + hours{7} + minutes{8} + seconds{9} + milliseconds{999};
    EXPECT_EQ(ArchivDateiname(morning), "mail_05_03_2024_07_08_09.txt");
    const LocalTime evening = local_days{year{2024} / 12 / 31} + hours{23} + minutes{59} + seconds{59};
    EXPECT_EQ(ArchivDateiname(evening), "mail_31_12_2024_23_59_59.txt");
}

TEST(ArchiveCopyTest, WritesUtf8LinesAndNeverOverwritesAnEarlierCopy) {
    testing::TTempDir home;
    TStillClock clock;
    const auto folder = home.Path() / "old" / "tief";
    const auto first = SchreibeArchivKopie(folder, clock.Now(), {"Grüße", "", "Ende"});
    const auto second = SchreibeArchivKopie(folder, clock.Now(), {"zweite"});
    const auto third = SchreibeArchivKopie(folder, clock.Now(), {});
    EXPECT_EQ(first, folder / "mail_29_01_2024_14_05_09.txt");
    EXPECT_EQ(second, folder / "mail_29_01_2024_14_05_09_2.txt");
    EXPECT_EQ(third, folder / "mail_29_01_2024_14_05_09_3.txt");
    EXPECT_EQ(ReadFile(first), "Grüße\r\n\r\nEnde\r\n");
    EXPECT_EQ(ReadFile(second), "zweite\r\n");
    EXPECT_EQ(ReadFile(third), "");
}

TEST(ArchiveCopyTest, RaisesWhenTheFolderCannotBeMade) {
    testing::TTempDir home;
    WriteFile(home.Path() / "old", "eine Datei");
    TStillClock clock;
    EXPECT_ANY_THROW(SchreibeArchivKopie(home.Path() / "old", clock.Now(), {"x"}));
}

}  // namespace
}  // namespace kdv::incoming_test
