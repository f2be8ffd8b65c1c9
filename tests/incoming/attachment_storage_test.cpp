// Where attachments, archive copies and kept mails land on disk: stored paths
// mapped to local ones, safe attachment names, attachment files that never
// overwrite, archive copies, and raw mails kept once each.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#endif

#include <algorithm>
#include <csignal>

#include "incoming/archive_copy.h"
#include "incoming/attachment_name.h"
#include "incoming/attachment_store.h"
#include "incoming/kept_mail.h"
#include "mail/mail_message.h"
#include "platform/dira_error.h"
#include "platform/attachment_path.h"
#include "platform/path_text.h"
#include "incoming_test_fixture.h"
#include "platform/ini_file.h"
#include "support/expect_raises.h"
#include "support/private_file_check.h"
#include "support/temp_dir.h"

namespace kdv::testing {
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
    TTempDir home;
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
        // Names the application's Windows programs could not open.
        {"CON", "CON_"},
        {"aux.txt", "aux_.txt"},
        {"COM1.pdf", "COM1_.pdf"},
        {"lpt9.tar.gz", "lpt9_.tar.gz"},
        {"Nul .txt", "Nul _.txt"},
        {"prn", "prn_"},
        {"Bericht.", "Bericht._"},
        {"Bericht ", "Bericht _"},
        // Near misses stay as they are.
        {"COM0.pdf", "COM0.pdf"},
        {"COM10.pdf", "COM10.pdf"},
        {"console.log", "console.log"},
        {"CON-Plan.pdf", "CON-Plan.pdf"},
        {"Plan.aux", "Plan.aux"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AnhangDateiname(c.received, 7), c.stored) << c.received;
    }
}

class AttachmentFolderTest : public ::testing::Test {
protected:
    // An attachment part with the given content.
    TMailAttachment& Part(const std::string& content) {
        auto& part = Message.MessageParts.AddTempAttachment();
        part.PrepareTempStream() << content;
        part.FinishTempStream();
        return part;
    }

    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(Dir.Path())) names.push_back(PathToUtf8(entry.path().filename()));
        std::sort(names.begin(), names.end());
        return names;
    }

    TTempDir Dir{"diravid-anhang"};
    TMailMessage Message;
    TAttachmentFolder Folder{Dir.Path()};
};

TEST_F(AttachmentFolderTest, NameTakenGetsTheNextFreeVariantAndNothingIsOverwritten) {
    WriteFile(Dir / "scan.pdf", "fremd");
    std::vector<std::string> used;
    for (int i = 1; i <= 3; ++i) used.push_back(Folder.Store(Part("Seite " + std::to_string(i)), "scan.pdf"));
    // Windows does not tell the case of names apart.
    used.push_back(Folder.Store(Part("gross"), "SCAN.PDF"));
    used.push_back(Folder.Store(Part("liesmich"), "LIESMICH"));
    used.push_back(Folder.Store(Part("liesmich 2"), "LIESMICH"));
    used.push_back(Folder.Store(Part("punkt"), ".profile"));
    used.push_back(Folder.Store(Part("punkt 2"), ".profile"));
    EXPECT_EQ(used, (std::vector<std::string>{"scan_2.pdf", "scan_3.pdf", "scan_4.pdf", "SCAN_5.PDF", "LIESMICH",
                                              "LIESMICH_2", ".profile", ".profile_2"}));
    EXPECT_EQ(ReadFile(Dir / "scan.pdf"), "fremd");
    EXPECT_EQ(ReadFile(Dir / "scan_2.pdf"), "Seite 1");
    EXPECT_EQ(ReadFile(Dir / "scan_4.pdf"), "Seite 3");
    EXPECT_EQ(ReadFile(Dir / "SCAN_5.PDF"), "gross");
    EXPECT_EQ(ReadFile(Dir / ".profile_2"), "punkt 2");
}

TEST_F(AttachmentFolderTest, ManyAttachmentsOfOneNameEachGetTheirOwnFile) {
    constexpr int kCount = 500;
    for (int i = 1; i <= kCount; ++i) {
        EXPECT_EQ(Folder.Store(Part(std::to_string(i)), "scan.pdf"), AnhangNamensVariante("scan.pdf", i));
    }
    EXPECT_EQ(Names().size(), static_cast<std::size_t>(kCount));
    EXPECT_EQ(ReadFile(Dir / "scan.pdf"), "1");
    EXPECT_EQ(ReadFile(Dir / "scan_500.pdf"), "500");
}

TEST_F(AttachmentFolderTest, ALinkInTheWayIsNeverFollowed) {
    TTempDir elsewhere{"diravid-fremd"};
    std::error_code error;
    std::filesystem::create_symlink(elsewhere / "ziel.pdf", Dir / "plan.pdf", error);
    // Windows' C++ library makes no links, and Windows gives them only to
    // administrators and developer machines.
    if (error) GTEST_SKIP() << "no symbolic link here: " << error.message();
    EXPECT_EQ(Folder.Store(Part("Inhalt"), "plan.pdf"), "plan_2.pdf");
    EXPECT_FALSE(std::filesystem::exists(elsewhere / "ziel.pdf"));
}

TEST_F(AttachmentFolderTest, StoredFilesFollowTheUmaskWhileTemporaryFilesStayPrivate) {
#ifdef _WIN32
    // No umask: a stored file takes the folder's rights; the temporary copy
    // of a received attachment still belongs to the service alone.
    auto& part = static_cast<TMailAttachmentFile&>(Part("x"));
    Folder.Store(part, "datei.txt");
    EXPECT_EQ(WhyNotPrivate(part.StoredPathName()), "");
#else
    struct Case {
        mode_t umask;
        std::filesystem::perms stored;
    };
    using P = std::filesystem::perms;
    const std::vector<Case> cases = {
        {022, P::owner_read | P::owner_write | P::group_read | P::others_read},
        {002, P::owner_read | P::owner_write | P::group_read | P::group_write | P::others_read},
        {077, P::owner_read | P::owner_write},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.umask);
        const mode_t old = ::umask(c.umask);
        auto& part = static_cast<TMailAttachmentFile&>(Part("x"));
        const std::string name = Folder.Store(part, "datei.txt");
        ::umask(old);
        EXPECT_EQ(std::filesystem::status(Dir / name).permissions() & P::all, c.stored);
        EXPECT_EQ(WhyNotPrivate(part.StoredPathName()), "");
    }
#endif
}

TEST_F(AttachmentFolderTest, FileThatCannotBeWrittenWholeIsRemovedAndTheReasonNamed) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no file size limit that could stand in for a full disk";
#else
    TMailAttachment& part = Part("mehr als vier Bytes");
    // A file size limit fails the write as a full disk would, also for root.
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 4;
    ::setrlimit(RLIMIT_FSIZE, &small);
    std::string message;
    TErrorKind kind = TErrorKind::ekOther;
    try {
        Folder.Store(part, "gross.pdf");
    } catch (const EDiraError& e) {
        message = e.what();
        kind = e.ErrorKind();
    }
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(message, "Fehler beim Speichern der Anlage. " + (Dir / "gross.pdf").string() + ": File too large");
    // A full disk is a local failure that may pass, not a fault of the mail.
    EXPECT_EQ(kind, TErrorKind::ekLocal);
    EXPECT_TRUE(Names().empty());
#endif
}

TEST_F(AttachmentFolderTest, ContentThatIsGoneFailsWithoutLeavingAFile) {
    auto& part = static_cast<TMailAttachmentFile&>(Part("x"));
    std::filesystem::remove(part.StoredPathName());
    EXPECT_EQ(ExpectRaises([&] { Folder.Store(part, "weg.pdf"); }).ErrorKind(), TErrorKind::ekLocal);
    EXPECT_TRUE(Names().empty());
}

TEST(KeptMailTest, KeepsOneCopyPerTextNamedByItsHash) {
    TTempDir home;
    WriteFile(home / "a.eml", "abc");
    WriteFile(home / "b.eml", "abc");
    WriteFile(home / "c.eml", "abd");
    const auto folder = home.Path() / "Fehler" / "tief";
    const auto first = KeepRawMail(folder, home / "a.eml");
    EXPECT_EQ(first, folder / "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad.eml");
    EXPECT_EQ(ReadFile(first), "abc");
    // Private: a kept mail may hold anything a stranger sent.
    EXPECT_EQ(WhyNotPrivate(first), "");
    std::filesystem::last_write_time(first, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
    const auto stamp = std::filesystem::last_write_time(first);
    EXPECT_EQ(KeepRawMail(folder, home / "b.eml"), first);
    EXPECT_EQ(std::filesystem::last_write_time(first), stamp) << "the copy there is left as it is";
    EXPECT_NE(KeepRawMail(folder, home / "c.eml"), first);
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++files;
    EXPECT_EQ(files, 2u) << "no copy in progress is left behind";
}

TEST(KeptMailTest, TurnedAwayMailHasItsLatestReasonBesideIt) {
    TTempDir home;
    WriteFile(home / "a.eml", "abc");
    const auto folder = home.Path() / "Abgewiesen";
    const auto kept = KeepTurnedAwayMail(folder, home / "a.eml", "keine Lage\r\nzum Ablegen\rgefunden.");
    EXPECT_EQ(kept, KeptMailPath(folder, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
    EXPECT_EQ(ReadFile(kept), "abc");
    const auto reason = KeptReasonPath(kept);
    EXPECT_EQ(reason, folder / "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad.txt");
    // One line, whatever the subject it quotes held.
    EXPECT_EQ(ReadFile(reason), "keine Lage  zum Ablegen gefunden.\n");
    EXPECT_EQ(WhyNotPrivate(reason), "");

    // Turned away again, later and for another reason: the latest reason
    // counts, and so does the latest time.
    const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * 29);
    std::filesystem::last_write_time(kept, old);
    EXPECT_EQ(KeepTurnedAwayMail(folder, home / "a.eml", "Lage 5 ist nicht aktiv"), kept);
    EXPECT_EQ(ReadFile(reason), "Lage 5 ist nicht aktiv\n");
    EXPECT_GT(std::filesystem::last_write_time(kept), old + std::chrono::hours(24));
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++files;
    EXPECT_EQ(files, 2u) << "no file in progress is left behind";

    // A reason that cannot be written fails the keeping.
    WriteFile(home / "b.eml", "abd");
    const auto other = KeepRawMail(folder, home / "b.eml");
    std::filesystem::create_directory(KeptReasonPath(other));
    EXPECT_THROW(KeepTurnedAwayMail(folder, home / "b.eml", "Grund"), EDiraError);
}

TEST(KeptMailTest, FailuresNameTheCause) {
    TTempDir home;
    const EDiraError e = ExpectRaises([&] { KeepRawMail(home.Path() / "Fehler", home / "fehlt.eml"); });
    EXPECT_EQ(std::string(e.what()),
              "Mail " + (home / "fehlt.eml").string() + " kann nicht gelesen werden: No such file or directory");
    WriteFile(home / "a.eml", "abc");
    WriteFile(home / "Abgewiesen", "eine Datei");
    EXPECT_THROW(KeepRawMail(home.Path() / "Abgewiesen", home / "a.eml"), EDiraError);
}

TEST(KeptMailTest, RemovesOnlyKeptMailsOlderThanTheCutoff) {
    TTempDir home;
    const auto folder = home.Path() / "Abgewiesen";
    std::filesystem::create_directories(folder);
    const auto now = std::filesystem::file_time_type::clock::now();
    struct Case {
        std::string name;
        std::chrono::hours age;
        bool removed;
    };
    const std::vector<Case> cases = {
        {"alt.eml", std::chrono::hours(24 * 31), true},
        {"alt.txt", std::chrono::hours(24 * 29), true},  // the reason goes with its mail
        {"frisch.eml", std::chrono::hours(24 * 29), false},
        {"frisch.txt", std::chrono::hours(24 * 31), false},  // stays while its mail does
        {"allein.txt", std::chrono::hours(24 * 31), true},   // its mail was imported and taken away
        {"neu.txt", std::chrono::hours(24 * 29), false},
        {"alt.log", std::chrono::hours(24 * 31), false},  // not the service's
    };
    for (const auto& c : cases) {
        WriteFile(folder / c.name, "x");
        std::filesystem::last_write_time(folder / c.name, now - c.age);
    }
    EXPECT_EQ(RemoveKeptMailsBefore(folder, now - kAbgewiesenAufbewahrung), 1u) << "counts mails, not reasons";
    for (const auto& c : cases) EXPECT_EQ(std::filesystem::exists(folder / c.name), !c.removed) << c.name;
    EXPECT_EQ(RemoveKeptMailsBefore(home.Path() / "fehlt", now), 0u);
}

TEST(ArchiveCopyTest, NamesTheFileAfterTheLocalTime) {
    using namespace std::chrono;
    const LocalTime morning = local_days{year{2024} / 3 / 5} + hours{7} + minutes{8} + seconds{9} + milliseconds{999};
    EXPECT_EQ(ArchivDateiname(morning), "mail_05_03_2024_07_08_09.txt");
    const LocalTime evening = local_days{year{2024} / 12 / 31} + hours{23} + minutes{59} + seconds{59};
    EXPECT_EQ(ArchivDateiname(evening), "mail_31_12_2024_23_59_59.txt");
}

TEST(ArchiveCopyTest, WritesUtf8LinesAndNeverOverwritesAnEarlierCopy) {
    TTempDir home;
    TStillClock clock;
    const auto folder = home.Path() / "old" / "tief";
    const auto first = SchreibeArchivKopie(folder, clock.Now(), "Grüße\r\n\r\nEnde\r\n");
    const auto second = SchreibeArchivKopie(folder, clock.Now(), "zweite\r\n");
    const auto third = SchreibeArchivKopie(folder, clock.Now(), "");
    EXPECT_EQ(first, folder / "mail_29_01_2024_14_05_09.txt");
    EXPECT_EQ(second, folder / "mail_29_01_2024_14_05_09_2.txt");
    EXPECT_EQ(third, folder / "mail_29_01_2024_14_05_09_3.txt");
    EXPECT_EQ(ReadFile(first), "Grüße\r\n\r\nEnde\r\n");
    EXPECT_EQ(ReadFile(second), "zweite\r\n");
    EXPECT_EQ(ReadFile(third), "");
}

TEST(ArchiveCopyTest, RaisesWhenTheFolderCannotBeMade) {
    TTempDir home;
    WriteFile(home.Path() / "old", "eine Datei");
    TStillClock clock;
    EXPECT_ANY_THROW(SchreibeArchivKopie(home.Path() / "old", clock.Now(), "x\r\n"));
}

}  // namespace
}  // namespace kdv::testing
