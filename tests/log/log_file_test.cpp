#include "log/log_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "log_test_support.h"
#include "platform/ansi_code_page.h"

#include "support/expect_raises.h"
#include "support/wine_check.h"

using kdv::testing::ExpectRaises;

namespace kdv {
namespace {

using namespace std::chrono_literals;
using kdv::testing::At;
using kdv::testing::FileNames;
using kdv::testing::ReadFile;
using kdv::testing::TFakeClock;
using kdv::testing::TFaultyFileSystem;
using kdv::testing::TTempFolder;
using kdv::testing::WriteFile;

// The service's set-up: the log beside the program, rotated files in "Logs",
// both rotations on, level 7.
class LogFileTest : public ::testing::Test {
protected:
    std::filesystem::path LogPath() const { return dir_ / "KorvaneDiraVid.log"; }
    std::filesystem::path OldFolder() const { return dir_ / "Logs"; }

    std::unique_ptr<TLogFile> ServiceLog() {
        auto log = std::make_unique<TLogFile>(clock_, files_);
        log->SetFolderOldLogFiles(OldFolder());
        log->SetRotateLogFileDaily(true);
        log->SetRotateLogFileAtStart(true);
        log->Open(LogPath(), 7);
        return log;
    }

    TTempFolder dir_;
    TFakeClock clock_{At(2024, 1, 29, 14, 5, 9)};
    TFaultyFileSystem files_;
};

TEST_F(LogFileTest, StartsClosedWithTheDocumentedDefaults) {
    TLogFile log(clock_, files_);
    EXPECT_FALSE(log.RotateLogFileDaily());
    EXPECT_TRUE(log.RotateLogFileAtStart());
    EXPECT_EQ(log.LogLevel(), 5);
    EXPECT_TRUE(log.FolderOldLogFiles().empty());
    EXPECT_TRUE(log.Dateiname().empty());
    EXPECT_FALSE(log.Started());
}

TEST_F(LogFileTest, WritesTheBannerByteForByte) {
    {
        auto log = ServiceLog();
        log->Add(5, "KorvaneDiraVid gestartet.");
        clock_.Advance(1s);
        log->Add(3, "Prüfung fehlgeschlagen: %s", std::string("Zeile 1\r\nZeile 2"));
    }
    EXPECT_EQ(kdv::testing::ReadLogText(LogPath()),
              "29.01.24 | 14:05:09 | Hinweis   | KorvaneDiraVid gestartet.\r\n"
              "29.01.24 | 14:05:10 | FEHLER    | Prüfung fehlgeschlagen: Zeile 1<CR><LF>Zeile 2\r\n");
    // In the system's code page: the "ü" is one byte in Windows' ANSI code
    // page, and two in UTF-8 on Linux.
    const std::string bytes = ReadFile(LogPath());
    EXPECT_NE(bytes.find(SystemAnsiCodePage() == kUtf8CodePage ? "Pr\xc3\xbc" "fung" : "Pr\xfc" "fung"),
              std::string::npos);
}

TEST_F(LogFileTest, CharactersTheCodePageLacksBecomeQuestionMarks) {
    {
        auto log = ServiceLog();
        log->Add(5, "Lage \xe2\x80\x9eNord\xe2\x80\x9c \xe6\xb0\xb4");  // „Nord“ 水
    }
    const std::string bytes = ReadFile(LogPath());
    if (SystemAnsiCodePage() == kUtf8CodePage) {
        EXPECT_NE(bytes.find("Lage \xe2\x80\x9eNord\xe2\x80\x9c \xe6\xb0\xb4"), std::string::npos) << bytes;
    } else if (SystemAnsiCodePage() == 1252) {
        EXPECT_NE(bytes.find("Lage \x84Nord\x93 ?"), std::string::npos) << bytes;
    }
}

TEST_F(LogFileTest, PlainTextWithPercentIsNeverReadAsAFormat) {
    auto log = ServiceLog();
    const std::string owned = "50% von %s";
    log->Add(5, "100% sicher %s");
    log->Add(5, owned);
    log->Add(5, std::string_view("%d"));
    EXPECT_EQ(ReadFile(LogPath()),
              "29.01.24 | 14:05:09 | Hinweis   | 100% sicher %s\r\n"
              "29.01.24 | 14:05:09 | Hinweis   | 50% von %s\r\n"
              "29.01.24 | 14:05:09 | Hinweis   | %d\r\n");
}

TEST_F(LogFileTest, AFormatThatDoesNotFitRaisesEvenForAFilteredLevel) {
    auto log = ServiceLog();
    EXPECT_THROW(log->Add(5, "%s und %s", 1), EDiraError);
    EXPECT_THROW(log->Add(9, "%s", 1, 2), EDiraError);
    EXPECT_EQ(ReadFile(LogPath()), "");
}

TEST_F(LogFileTest, FiltersByLevelAndNamesUnknownLevels) {
    auto log = ServiceLog();
    for (int level : {-1, 0, 7, 8, 9, 10}) log->Add(level, "L" + std::to_string(level));
    EXPECT_TRUE(log->Open(LogPath(), 9));  // already open: only the level changes
    log->Add(9, "now visible");
    log->SetLogLevel(-2);
    log->Add(-1, "hidden again");
    EXPECT_EQ(ReadFile(LogPath()),
              "29.01.24 | 14:05:09 | ?         | L-1\r\n"
              "29.01.24 | 14:05:09 | EMERGENCY | L0\r\n"
              "29.01.24 | 14:05:09 | Debug     | L7\r\n"
              "29.01.24 | 14:05:09 | Debug 2   | now visible\r\n");
    EXPECT_EQ(FileNames(OldFolder()), std::set<std::string>{});
}

TEST_F(LogFileTest, FilteredLineOnANewDayNeitherWritesNorRotates) {
    auto log = ServiceLog();
    log->Add(5, "Montag");
    clock_.Set(At(2024, 1, 30, 0, 0, 5));
    log->Add(8, "verworfen");
    EXPECT_FALSE(std::filesystem::exists(OldFolder() / "KorvaneDiraVid_2024_01_29.log"));
    EXPECT_EQ(ReadFile(LogPath()), "29.01.24 | 14:05:09 | Hinweis   | Montag\r\n");
}

TEST_F(LogFileTest, RotatesAtEachOpenToTheFirstFreeName) {
    WriteFile(LogPath(), "run 0\r\n");
    for (int run = 1; run <= 3; ++run) {
        auto log = ServiceLog();
        log->Add(5, "run " + std::to_string(run));
    }
    const std::string line = "29.01.24 | 14:05:09 | Hinweis   | run ";
    EXPECT_EQ(FileNames(OldFolder()),
              (std::set<std::string>{"KorvaneDiraVid_2024_01_29.lastlog",
                                     "KorvaneDiraVid_2024_01_29_#001.lastlog",
                                     "KorvaneDiraVid_2024_01_29_#002.lastlog"}));
    EXPECT_EQ(ReadFile(OldFolder() / "KorvaneDiraVid_2024_01_29.lastlog"), "run 0\r\n");
    EXPECT_EQ(ReadFile(OldFolder() / "KorvaneDiraVid_2024_01_29_#001.lastlog"), line + "1\r\n");
    EXPECT_EQ(ReadFile(OldFolder() / "KorvaneDiraVid_2024_01_29_#002.lastlog"), line + "2\r\n");
    EXPECT_EQ(ReadFile(LogPath()), line + "3\r\n");
}

TEST_F(LogFileTest, RotatesBesideALogWithoutExtensionWhenNoFolderIsSet) {
    const auto path = dir_ / "protokoll";
    WriteFile(path, "alt\r\n");
    TLogFile log(path, 5, TLogRotation{TLogRotationMode::logrotStartup}, clock_, files_);
    log.Add(5, "neu");
    EXPECT_EQ(FileNames(dir_.Path()),
              (std::set<std::string>{"protokoll", "protokoll_2024_01_29.lastlog"}));
    EXPECT_EQ(ReadFile(dir_ / "protokoll_2024_01_29.lastlog"), "alt\r\n");
}

TEST_F(LogFileTest, AppendsToTheOldFileWhenRotationAtOpenIsOffOrRefused) {
    for (const bool refuse : {false, true}) {
        SCOPED_TRACE(refuse ? "move refused" : "rotation off");
        WriteFile(LogPath(), "alt\r\n");
        files_.refuseMoves = refuse;
        TLogFile log(clock_, files_);
        log.SetRotateLogFileAtStart(refuse);
        log.Open(LogPath(), 5);
        log.Add(5, "neu");
        EXPECT_EQ(ReadFile(LogPath()), "alt\r\n29.01.24 | 14:05:09 | Hinweis   | neu\r\n");
        log.Close();
        std::filesystem::remove(LogPath());
    }
}

TEST_F(LogFileTest, ConstructorTakesExactlyTheRotationsOfTheSet) {
    const struct {
        TLogRotation set;
        bool daily, atStart;
    } cases[] = {
        {{}, false, false},
        {{TLogRotationMode::logrotDaily}, true, false},
        {{TLogRotationMode::logrotStartup}, false, true},
        {{TLogRotationMode::logrotDaily, TLogRotationMode::logrotStartup}, true, true},
    };
    for (const auto& c : cases) {
        TLogFile log(LogPath(), 3, c.set, clock_, files_);
        EXPECT_TRUE(log.Started());
        EXPECT_EQ(log.LogLevel(), 3);
        EXPECT_EQ(log.RotateLogFileDaily(), c.daily);
        EXPECT_EQ(log.RotateLogFileAtStart(), c.atStart);
    }
}

TEST_F(LogFileTest, OpenRaisesTheFixedTextForEachMissingPrecondition) {
    WriteFile(dir_ / "blocker", "a file where a folder is needed");
    const struct {
        std::filesystem::path file, oldFolder;
        std::string error;
        TErrorKind kind;
    } cases[] = {
        {"", "", "Keine Log-Datei vorhanden.", TErrorKind::ekUsage},
        {dir_ / "blocker" / "sub" / "x.log", "",
         "Verzeichnis für die Log-Datei kann nicht erstellt werden.", TErrorKind::ekLocal},
        {dir_ / "ok" / "x.log", dir_ / "blocker" / "Logs",
         "Verzeichnis für rotierte Log-Dateien kann nicht erstellt werden.", TErrorKind::ekLocal},
    };
    for (const auto& c : cases) {
        TLogFile log(clock_, files_);
        log.SetFolderOldLogFiles(c.oldFolder);
        const EDiraError e = ExpectRaises([&] { log.Open(c.file, 7); });
        EXPECT_EQ(std::string(e.what()), c.error);
        EXPECT_EQ(e.ErrorKind(), c.kind) << c.error;
        EXPECT_FALSE(log.Started());
    }
}

TEST_F(LogFileTest, AddThatMustOpenRaisesTheSystemMessageAndRetriesLater) {
    const auto path = dir_ / "later.log";
    std::filesystem::create_directory(path);  // a folder in place of the file
    TLogFile log(clock_, files_);
    log.SetRotateLogFileAtStart(false);
    log.SetDateiname(path);
    const EDiraError e = ExpectRaises([&] { log.Add(5, "eins"); });
    EXPECT_NE(std::string(e.what()).find("later.log"), std::string::npos) << e.what();
    EXPECT_FALSE(log.Started());
    std::filesystem::remove(path);
    log.Add(5, "zwei");
    EXPECT_EQ(ReadFile(path), "29.01.24 | 14:05:09 | Hinweis   | zwei\r\n");
}

TEST_F(LogFileTest, DateinameChangesOnlyWhileClosed) {
    auto log = ServiceLog();
    const EDiraError e = ExpectRaises([&] { log->SetDateiname(dir_ / "other.log"); });
    EXPECT_EQ(std::string(e.what()),
              "Eigenschaft kann nur bei geschlossener Log-Datei geändert werden");
    EXPECT_EQ(log->Dateiname(), LogPath());
    EXPECT_TRUE(log->Close());
    EXPECT_TRUE(log->Close());  // closing twice is harmless
    log->SetDateiname(dir_ / "other.log");
    log->Add(5, "hier");  // a closed log reopens itself
    EXPECT_TRUE(log->Started());
    EXPECT_EQ(ReadFile(dir_ / "other.log"), "29.01.24 | 14:05:09 | Hinweis   | hier\r\n");
}

TEST_F(LogFileTest, FirstLineAfterMidnightGoesIntoAFreshFile) {
    auto log = ServiceLog();
    log->Add(5, "Montag");
    clock_.Set(At(2024, 1, 30, 0, 0, 1));
    log->Add(5, "Dienstag");
    log->Add(5, "noch Dienstag");
    EXPECT_EQ(ReadFile(OldFolder() / "KorvaneDiraVid_2024_01_29.log"),
              "29.01.24 | 14:05:09 | Hinweis   | Montag\r\n");
    EXPECT_EQ(ReadFile(LogPath()),
              "30.01.24 | 00:00:01 | Hinweis   | Dienstag\r\n"
              "30.01.24 | 00:00:01 | Hinweis   | noch Dienstag\r\n");
    EXPECT_EQ(FileNames(OldFolder()), (std::set<std::string>{"KorvaneDiraVid_2024_01_29.log"}));
}

TEST_F(LogFileTest, AfterSilentDaysTheFileIsNamedForTheDayBeforeRotation) {
    auto log = ServiceLog();
    log->Add(5, "Montag");
    clock_.Set(At(2024, 2, 1, 7, 30, 0));  // Thursday
    log->Add(5, "Donnerstag");
    EXPECT_EQ(FileNames(OldFolder()), (std::set<std::string>{"KorvaneDiraVid_2024_01_31.log"}));
}

TEST_F(LogFileTest, DailyTargetTakenFallsBackToTheRotationAtOpen) {
    auto log = ServiceLog();
    log->Add(5, "Montag");
    WriteFile(OldFolder() / "KorvaneDiraVid_2024_01_29.log", "belegt\r\n");
    clock_.Set(At(2024, 1, 30, 8, 0, 0));
    log->Add(5, "Dienstag");
    EXPECT_EQ(ReadFile(OldFolder() / "KorvaneDiraVid_2024_01_29.log"), "belegt\r\n");
    EXPECT_EQ(ReadFile(OldFolder() / "KorvaneDiraVid_2024_01_30.lastlog"),
              "29.01.24 | 14:05:09 | Hinweis   | Montag\r\n");
    EXPECT_EQ(ReadFile(LogPath()), "30.01.24 | 08:00:00 | Hinweis   | Dienstag\r\n");
}

TEST_F(LogFileTest, DailyTargetTakenWithoutRotationAtOpenContinuesTheFile) {
    auto log = ServiceLog();
    log->SetRotateLogFileAtStart(false);
    log->Add(5, "Montag");
    WriteFile(OldFolder() / "KorvaneDiraVid_2024_01_29.log", "belegt\r\n");
    clock_.Set(At(2024, 1, 30, 8, 0, 0));
    log->Add(5, "Dienstag");
    log->Add(5, "noch Dienstag");  // opened today: no second attempt
    EXPECT_EQ(files_.moveCalls, 1);
    EXPECT_EQ(ReadFile(LogPath()),
              "29.01.24 | 14:05:09 | Hinweis   | Montag\r\n"
              "30.01.24 | 08:00:00 | Hinweis   | Dienstag\r\n"
              "30.01.24 | 08:00:00 | Hinweis   | noch Dienstag\r\n");
}

TEST_F(LogFileTest, DailyRotationWithoutItsFolderKeepsWritingTheOpenFile) {
    auto log = ServiceLog();
    log->Add(5, "Montag");
    std::filesystem::remove_all(OldFolder());
    WriteFile(OldFolder(), "a file where the folder was");
    clock_.Set(At(2024, 1, 30, 8, 0, 0));
    log->Add(5, "Dienstag");
    EXPECT_TRUE(log->Started());
    EXPECT_EQ(files_.moveCalls, 0);
    EXPECT_EQ(ReadFile(LogPath()),
              "29.01.24 | 14:05:09 | Hinweis   | Montag\r\n"
              "30.01.24 | 08:00:00 | Hinweis   | Dienstag\r\n");
}

TEST_F(LogFileTest, FirstAddOnANeverOpenedLogRotatesAnOldFileDaily) {
    WriteFile(LogPath(), "von gestern\r\n");
    TLogFile log(clock_, files_);
    log.SetDateiname(LogPath());
    log.SetFolderOldLogFiles(OldFolder());
    log.SetRotateLogFileDaily(true);
    log.Add(5, "heute");
    EXPECT_EQ(ReadFile(OldFolder() / "KorvaneDiraVid_2024_01_28.log"), "von gestern\r\n");
    EXPECT_EQ(ReadFile(LogPath()), "29.01.24 | 14:05:09 | Hinweis   | heute\r\n");
}

TEST_F(LogFileTest, FailedWritesAreSwallowedAndLoseOnlyTheirLine) {
    auto log = ServiceLog();
    log->Add(5, "eins");
    files_.failWrites = true;
    EXPECT_NO_THROW(log->Add(5, "verloren"));
    files_.failWrites = false;
    log->Add(5, "drei");
    EXPECT_EQ(ReadFile(LogPath()),
              "29.01.24 | 14:05:09 | Hinweis   | eins\r\n"
              "29.01.24 | 14:05:09 | Hinweis   | drei\r\n");
}

TEST_F(LogFileTest, WritesToAFullDiskAreSwallowed) {
    TLogFile log(clock_);
    log.SetRotateLogFileAtStart(false);  // never try to move a device node aside
    log.Open("/dev/full", 7);
    EXPECT_NO_THROW(log.Add(5, "passt nicht"));
    EXPECT_TRUE(log.Started());
}

TEST_F(LogFileTest, CloseReportsASystemErrorAndStillEndsClosed) {
    {
        auto log = ServiceLog();
        log->Add(5, "eins");
        files_.failClose = true;
        EXPECT_THROW(log->Close(), EDiraError);
        EXPECT_FALSE(log->Started());
        log->Add(5, "zwei");  // reopens; the destructor's close fails silently
    }
    EXPECT_EQ(FileNames(OldFolder()), (std::set<std::string>{"KorvaneDiraVid_2024_01_29.lastlog"}));
}

TEST_F(LogFileTest, ARemovedLogFileIsCreatedAgainByTheNextLine) {
    // Wine keeps a removed file that is still open under its name and does
    // not mark it as pending removal, so nothing can notice the removal;
    // Windows frees the name at once or marks the file.
    if (testing::RunsUnderWine()) GTEST_SKIP() << "Wine does not show a removal while the file is open";
    auto log = ServiceLog();
    log->Add(5, "eins");
    std::filesystem::remove(LogPath());
    log->Add(5, "zwei");
    std::filesystem::rename(LogPath(), dir_ / "weg.log");
    WriteFile(LogPath(), "fremd\r\n");
    log->Add(5, "drei");
    EXPECT_EQ(ReadFile(dir_ / "weg.log"), "29.01.24 | 14:05:09 | Hinweis   | zwei\r\n");
    EXPECT_EQ(ReadFile(LogPath()), "fremd\r\n29.01.24 | 14:05:09 | Hinweis   | drei\r\n");
}

// Every reading moves time on by one step.
class TTickingClock final : public IClock {
public:
    TTickingClock(LocalTime start, std::chrono::milliseconds step) : start_(start), step_(step) {}
    LocalTime Now() const override { return start_ + step_ * ticks_.fetch_add(1); }

private:
    LocalTime start_;
    std::chrono::milliseconds step_;
    mutable std::atomic<int> ticks_{0};
};

// The lines of a log text, without their CR LF; a stray LF fails the split.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; at < text.size(); at = end + 2) {
        end = text.find("\r\n", at);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(at, end - at));
    }
    return lines;
}

TEST_F(LogFileTest, ALineAtTheStrokeOfMidnightLandsInTheFileOfItsDay) {
    TTickingClock clock(At(2024, 1, 29, 23, 59, 59) + 800ms, 100ms);
    {
        TLogFile log(clock, files_);
        log.SetFolderOldLogFiles(OldFolder());
        log.SetRotateLogFileDaily(true);
        log.Open(LogPath(), 7);
        for (const char* text : {"a", "b", "c"}) log.Add(5, text);
    }
    EXPECT_EQ(ReadFile(OldFolder() / "KorvaneDiraVid_2024_01_29.log"),
              "29.01.24 | 23:59:59 | Hinweis   | a\r\n");
    EXPECT_EQ(ReadFile(LogPath()),
              "30.01.24 | 00:00:00 | Hinweis   | b\r\n"
              "30.01.24 | 00:00:00 | Hinweis   | c\r\n");
}

TEST_F(LogFileTest, LinesFromTwoThreadsStayWholeAcrossARotation) {
    constexpr int kLinesPerThread = 300;
    TTickingClock clock(At(2024, 1, 29, 23, 59, 0), 100ms);
    TLogFile log(clock, files_);
    log.SetFolderOldLogFiles(OldFolder());
    log.SetRotateLogFileDaily(true);
    log.Open(LogPath(), 7);
    auto writer = [&](const std::string& who) {
        for (int i = 0; i < kLinesPerThread; ++i) log.Add(5, who + std::to_string(i));
    };
    std::thread a(writer, "a");
    std::thread b(writer, "b");
    a.join();
    b.join();
    log.Close();

    const std::string before = ReadFile(OldFolder() / "KorvaneDiraVid_2024_01_29.log");
    const std::string after = ReadFile(LogPath());
    ASSERT_FALSE(before.empty());
    ASSERT_FALSE(after.empty());
    std::set<std::string> texts;
    for (const std::string& line : Lines(before + after)) {
        const std::string head = line.substr(0, 34);
        EXPECT_TRUE(head.ends_with(" | Hinweis   | ") && line.size() > 34) << line;
        texts.insert(line.substr(std::min<std::size_t>(34, line.size())));
    }
    EXPECT_EQ(texts.size(), 2u * kLinesPerThread);
    for (const std::string who : {"a", "b"}) {
        EXPECT_TRUE(texts.contains(who + "0"));
        EXPECT_TRUE(texts.contains(who + std::to_string(kLinesPerThread - 1)));
    }
}

}  // namespace
}  // namespace kdv
