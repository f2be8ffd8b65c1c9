// The executable as operators call it: switches, installation, exit codes.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#endif

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fstream>
#include <optional>
#include <ostream>
#include <sstream>
#include <thread>

#include "db/db_connection.h"
#include "db/db_query.h"
#include "platform/file_lock.h"
#include "support/db_test_server.h"
#include "support/run_program.h"
#include "support/scripted_peer.h"
#include "support/service_home.h"
#include "support/temp_dir.h"
#include "support/test_files.h"

namespace kdv {
namespace {

using testing::ReadFile;
using testing::ReadLogText;
using testing::RunProgram;
using testing::TTempDir;

TEST(Program, VersionAndHelp) {
    const auto v = RunProgram(DIRAVID_BINARY, {"--version"});
    EXPECT_EQ(v.ExitCode, 0);
    EXPECT_EQ(v.Stdout, "KorvaneDiraVid V 1.0.6\n");
    const auto h = RunProgram(DIRAVID_BINARY, {"--help"});
    EXPECT_EQ(h.ExitCode, 0);
    EXPECT_NE(h.Stdout.find("--once"), std::string::npos);
    const auto bad = RunProgram(DIRAVID_BINARY, {"--nonsense"});
    EXPECT_NE(bad.ExitCode, 0);
    EXPECT_NE(bad.Stderr.find("--nonsense"), std::string::npos);
}

class Installation : public ::testing::Test {
protected:
#ifdef _WIN32
    void SetUp() override { GTEST_SKIP() << "a systemd unit: Windows installs into its service manager instead"; }
#endif
    TTempDir units{"diravid-units"};
    TTempDir home{"diravid home"};  // a blank in the path must be quoted in ExecStart
    std::map<std::string, std::string> env{{"DIRAVID_SYSTEMD_DIR", units.Path().string()}};
    std::string Unit() const { return ReadFile(units / "diravid.service"); }
    testing::TProgramResult Run(std::vector<std::string> args) {
        args.push_back("--home");
        args.push_back(home.Path().string());
        return RunProgram(DIRAVID_BINARY, args, env);
    }
};

TEST_F(Installation, InstallWritesTheUnitAndRefusesASecondTime) {
    const auto first = Run({"/INSTALL"});
    EXPECT_EQ(first.ExitCode, 0) << first.Stderr;
    EXPECT_EQ(first.Stdout, "Service erfolgreich installiert\n");
    const std::string unit = Unit();
    EXPECT_NE(unit.find("Description=Service-Anwendung für das Empfangen und Versenden von E-Mails in Korvane.\n"),
              std::string::npos);
    EXPECT_NE(unit.find("--home \"" + home.Path().string() + "\"\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("WantedBy=multi-user.target\n"), std::string::npos);
    EXPECT_NE(unit.find("Type=simple\n"), std::string::npos);
    // Two connection time-outs of 60 s (the mail in flight, then marking
    // its row) and 30 s for the stop itself.
    EXPECT_NE(unit.find("TimeoutStopSec=150\n"), std::string::npos) << unit;

    // A failure is reported even with SILENT, in the installation failure format.
    const auto second = Run({"-install", "-silent"});
    EXPECT_EQ(second.ExitCode, 1);
    EXPECT_EQ(second.Stdout, "");
    EXPECT_EQ(second.Stderr.rfind("Service \"KorvaneDiraVid\" konnte nicht installiert werden; Fehler: \"", 0), 0u)
        << second.Stderr;
    EXPECT_EQ(Unit(), unit);
}

TEST_F(Installation, StopTimeOutFollowsTheConnectionTimeLimit) {
    std::ofstream(home / "diravid.ini") << "[Verbindung]\nZeitlimit=20\n";
    ASSERT_EQ(Run({"--install", "/SILENT"}).ExitCode, 0);
    EXPECT_NE(Unit().find("TimeoutStopSec=70\n"), std::string::npos) << Unit();
}

TEST_F(Installation, UninstallRemovesTheUnitAndFailsWhenNoneIsThere) {
    ASSERT_EQ(Run({"--install", "/SILENT"}).ExitCode, 0);
    const auto removed = Run({"/uninstall"});
    EXPECT_EQ(removed.ExitCode, 0);
    EXPECT_EQ(removed.Stdout, "Service erfolgreich deinstalliert\n");
    EXPECT_FALSE(std::filesystem::exists(units / "diravid.service"));

    const auto again = Run({"/uninstall", "/silent"});
    EXPECT_EQ(again.ExitCode, 1);
    EXPECT_EQ(again.Stderr.rfind("Service \"KorvaneDiraVid\" konnte nicht deinstalliert werden; Fehler: \"", 0), 0u)
        << again.Stderr;
}

// systemctl stood in for by a script that notes its calls and fails for
// one command: a unit that systemd did not load or enable is no
// installation, so it is reported as failed and taken away again.
struct TSystemctlCase {
    const char* name;
    std::string failing;  // the command the script fails; "" none
    int exitCode;
    std::vector<std::string> calls;
    std::string error;  // in the failure message; "" when none is printed
};

class SystemctlResult : public Installation, public ::testing::WithParamInterface<TSystemctlCase> {};

TEST_P(SystemctlResult, DecidesTheInstallation) {
    const TSystemctlCase& c = GetParam();
    const std::filesystem::path calls = units / "calls.txt";
    const std::filesystem::path script = units / "systemctl";
    std::ofstream(script) << "#!/bin/sh\necho \"$*\" >>'" << calls.string() << "'\nif [ \"$1\" = '" << c.failing
                          << "' ]; then\n  echo \"Failed to $1: Access denied\" >&2\n  exit 4\nfi\n";
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    env["DIRAVID_SYSTEMCTL"] = script.string();

    const auto r = Run({"/INSTALL"});

    EXPECT_EQ(r.ExitCode, c.exitCode) << r.Stderr;
    std::vector<std::string> called;
    std::istringstream lines(ReadFile(calls));
    for (std::string line; std::getline(lines, line);) called.push_back(line);
    EXPECT_EQ(called, c.calls);
    if (c.error.empty()) {
        EXPECT_EQ(r.Stdout, "Service erfolgreich installiert\n");
        EXPECT_EQ(r.Stderr, "");
        EXPECT_TRUE(std::filesystem::exists(units / "diravid.service"));
    } else {
        EXPECT_EQ(r.Stdout, "");
        EXPECT_EQ(r.Stderr,
                  "Service \"KorvaneDiraVid\" konnte nicht installiert werden; Fehler: \"" + c.error + "\"\n");
        EXPECT_FALSE(std::filesystem::exists(units / "diravid.service"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Commands, SystemctlResult,
    ::testing::Values(
        TSystemctlCase{"BothSucceed", "", 0, {"daemon-reload", "enable diravid.service"}, ""},
        TSystemctlCase{"ReloadFails", "daemon-reload", 1, {"daemon-reload"},
                       "systemctl daemon-reload fehlgeschlagen (Exit-Status 4): Failed to daemon-reload: Access "
                       "denied"},
        // The unit was loaded already: systemd is told once more that it is gone.
        TSystemctlCase{"EnableFails", "enable", 1, {"daemon-reload", "enable diravid.service", "daemon-reload"},
                       "systemctl enable diravid.service fehlgeschlagen (Exit-Status 4): Failed to enable: Access "
                       "denied"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Installation, SystemctlThatCannotRunFailsTheInstallation) {
    env["DIRAVID_SYSTEMCTL"] = (units / "fehlt" / "systemctl").string();
    const auto r = Run({"/INSTALL", "/SILENT"});
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_EQ(r.Stderr.rfind("Service \"KorvaneDiraVid\" konnte nicht installiert werden; Fehler: \"systemctl "
                             "daemon-reload fehlgeschlagen (Exit-Status 127): ",
                             0),
              0u)
        << r.Stderr;
    EXPECT_FALSE(std::filesystem::exists(units / "diravid.service"));
}

TEST_F(Installation, SilentSuppressesOnlyTheSuccessMessage) {
    const auto r = Run({"/install", "/silent"});
    EXPECT_EQ(r.ExitCode, 0);
    EXPECT_EQ(r.Stdout, "");
    EXPECT_EQ(r.Stderr, "");
}

}  // namespace
}  // namespace kdv

namespace kdv {
namespace {

using testing::TServiceHome;

// "DD.MM.YY | HH:MM:SS | " in front of every entry.
bool HasLinePrefix(const std::string& line) {
    static const char* kShape = "99.99.99 | 99:99:99 | ";
    if (line.size() < 22) return false;
    for (size_t i = 0; i < 22; ++i) {
        const char k = kShape[i];
        if (k == '9' ? !std::isdigit(static_cast<unsigned char>(line[i])) : line[i] != k) return false;
    }
    return true;
}

TEST(ProgramStart, UnreachableDatabaseFailsTheStartWithStatusOne) {
    TServiceHome home;
    home.WriteIni(nullptr);
    const auto r = RunProgram(DIRAVID_BINARY, {"--home", home.Path().string(), "--once"});
    EXPECT_EQ(r.ExitCode, 1);
    const std::string log = ReadLogText(home / "KorvaneDiraVid.log");
    // The banner byte for byte, CR LF included.
    ASSERT_GE(log.size(), 22u);
    EXPECT_TRUE(HasLinePrefix(log));
    EXPECT_EQ(log.substr(22, log.find('\n') - 21),
              "Hinweis   | KorvaneDiraVid V 1.0.6 wird gestartet, bitte warten...\r\n");
    const auto entries = home.LogEntries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].rfind("EMERGENCY | KorvaneDiraVid konnte nicht gestartet werden! ([DiraDB][MySQL] ", 0), 0u)
        << entries[1];
    EXPECT_EQ(entries[1].back(), ')');
}

TEST(ProgramStart, EveryStartMovesTheOldLogAside) {
    TServiceHome home;
    home.WriteIni(nullptr);
    for (int i = 0; i < 4; ++i) RunProgram(DIRAVID_BINARY, {"--home", home.Path().string(), "--once"});
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(home / "Logs")) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    ASSERT_EQ(names.size(), 3u);
    // All three carry the same date; only the counter differs.
    const std::string stem = names[0].substr(0, names[0].size() - std::string(".lastlog").size());
    EXPECT_EQ(names[0].rfind("KorvaneDiraVid_", 0), 0u);
    EXPECT_EQ(names[0], stem + ".lastlog");
    EXPECT_EQ(names[1], stem + "_#001.lastlog");
    EXPECT_EQ(names[2], stem + "_#002.lastlog");
    EXPECT_EQ(home.LogEntries().size(), 2u);
}

TEST(ProgramStart, LogThatCannotBeOpenedGoesToTheSystemLog) {
    TServiceHome home;
    home.WriteIni(nullptr);
    // A file where the folder for rotated logs belongs.
    { std::ofstream(home / "Logs") << "x"; }
    const auto r = RunProgram(DIRAVID_BINARY, {"--home", home.Path().string(), "--once"});
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_NE(r.Stderr.find("Service fehlgeschlagen bei start:Verzeichnis für rotierte Log-Dateien kann nicht "
                            "erstellt werden."),
              std::string::npos)
        << r.Stderr;
    EXPECT_FALSE(std::filesystem::exists(home / "KorvaneDiraVid.log"));
}

class ProgramWithDatabase : public ::testing::Test {
protected:
    void SetUp() override {
        KDV_REQUIRE_DB_SERVER();
        db.emplace("Program", testing::TFixtureOptions{false, true, (home / "Anlagen").string()});
    }
    TServiceHome home;
    std::optional<testing::TTestDatabase> db;
};

TEST_F(ProgramWithDatabase, ForegroundServiceStopsCleanlyOnSigterm) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows runs the service under the service manager, not in the foreground";
#else
    home.WriteIni(&*db);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const std::string h = home.Path().string();
        ::execl(DIRAVID_BINARY, DIRAVID_BINARY, "--home", h.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // Wait until the start has been logged, then ask it to stop.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    auto started = [&] {
        const auto e = home.LogEntries();
        return std::find(e.begin(), e.end(), "Hinweis   | KorvaneDiraVid gestartet.") != e.end();
    };
    while (!started() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(started());
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const auto entries = home.LogEntries();
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries[entries.size() - 2], "Hinweis   | KorvaneDiraVid wird heruntergefahren.");
    EXPECT_EQ(entries.back(), "Hinweis   | KorvaneDiraVid beendet.");
#endif
}

TEST_F(ProgramWithDatabase, OnceRunsStartCycleAndStop) {
    home.WriteIni(&*db);
    const auto r = RunProgram(DIRAVID_BINARY, {"--home", home.Path().string(), "--once"});
    EXPECT_EQ(r.ExitCode, 0) << r.Stderr;
    const auto entries = home.LogEntries();
    EXPECT_NE(std::find(entries.begin(), entries.end(), "Hinweis   | KorvaneDiraVid gestartet."), entries.end());
    EXPECT_EQ(entries.back(), "Hinweis   | KorvaneDiraVid beendet.");
}

// An IMAP server that accepts and never greets costs a single run the time
// limit once: the cycle right after the failed start does not wait for it
// again.
TEST_F(ProgramWithDatabase, OnceWaitsForAStallingImapServerOnlyOnce) {
    testing::TScriptedPeer peer({testing::Stall(std::chrono::seconds(30))});
    home.WriteIni(&*db, "[IMAP]\nAktiv=1\nHost=127.0.0.1\nPort=" + std::to_string(peer.Port()) +
                            "\nSSL=0\n[Verbindung]\nZeitlimit=3\n");
    const auto start = std::chrono::steady_clock::now();
    const auto r = RunProgram(DIRAVID_BINARY, {"--home", home.Path().string(), "--once"});
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.ExitCode, 0) << r.Stderr;
    EXPECT_LT(took, std::chrono::milliseconds(5500));
    const auto entries = home.LogEntries();
    const auto logged = [&](const std::string& prefix) {
        return std::count_if(entries.begin(), entries.end(),
                             [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
    };
    EXPECT_EQ(logged("FEHLER    | Fehler bei Verbindung zu IMAP-Server: Zeitüberschreitung"), 1);
    EXPECT_EQ(logged("Hinweis   | Der IMAP-Server war beim Start eben nicht erreichbar"), 1);
    EXPECT_EQ(logged("FEHLER    | Verbindungsfehler IMAP"), 0);
}

TEST_F(ProgramWithDatabase, ImportFilesEachMailAndReportsEveryFile) {
    home.WriteIni(&*db);
    const auto mail = home / "bericht.eml";
    const std::string raw =
        "From: Leitstelle <leitstelle@example.org>\r\n"
        "To: lage@example.org\r\n"
        "Subject: Pegelstand\r\n"
        "MIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"b1\"\r\n"
        "\r\n"
        "--b1\r\n"
        "Content-Type: text/plain; charset=utf-8\r\n"
        "\r\n"
        "Pegel bei 4,20 m. Grüße\r\n"
        "--b1\r\n"
        "Content-Type: application/pdf; name=\"pegel.pdf\"\r\n"
        "Content-Transfer-Encoding: base64\r\n"
        "Content-Disposition: attachment; filename=\"pegel.pdf\"\r\n"
        "\r\n"
        "JVBERi0xLjQK\r\n"
        "--b1--\r\n";
    { std::ofstream(mail, std::ios::binary) << raw; }
    std::filesystem::create_directories(home / "Anlagen");
    const auto missing = home / "fehlt.eml";
    const auto r = RunProgram(DIRAVID_BINARY,
                              {"--home", home.Path().string(), "--import", mail.string(), missing.string()});
    EXPECT_EQ(r.ExitCode, 1) << r.Stderr;
    EXPECT_NE(r.Stdout.find(mail.string() + ": abgelegt in Lage 1\n"), std::string::npos) << r.Stdout;
    EXPECT_NE(r.Stdout.find(missing.string() + ": fehlgeschlagen: "), std::string::npos) << r.Stdout;
    EXPECT_EQ(ReadFile(mail), raw);

    const auto rows = db->Rows(
        "SELECT n.LAGE, n.VON, n.ART, a.FILENAME FROM LF_NACHRICHTEN n JOIN LF_NACHRICHTEN_ANLAGEN a "
        "ON a.NACHRICHT = n.ID WHERE n.ADD_USER = 'DiraVid'");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], "1\tleitstelle@example.org\tE-Mail\tpegel.pdf");
    // The stored path keeps the backslashes the application's Windows programs read.
    const auto paths = db->Rows("SELECT PFAD FROM LF_NACHRICHTEN_ANLAGEN");
    ASSERT_EQ(paths.size(), 1u);
    const std::string folder = (home / "Anlagen").string() + "\\1\\";
    EXPECT_EQ(paths[0].rfind(folder, 0), 0u) << paths[0];
    EXPECT_EQ(paths[0].substr(paths[0].size() - 10), "\\pegel.pdf") << paths[0];
    // The stored file holds the decoded attachment.
    bool found = false;
    for (const auto& e : std::filesystem::recursive_directory_iterator(home / "Anlagen"))
        if (e.path().filename() == "pegel.pdf") found = ReadFile(e.path()) == "%PDF-1.4\n";
    EXPECT_TRUE(found);
}

// A mail that cannot be filed whole: the printed line and the exit status say
// so, and the mail is kept for another import once the cause is mended.
struct NotWholeCase {
    const char* name;
    bool folderExists;
    bool incidentFolderIsAFile;
    std::string line;  // after "<file>: "
    std::size_t rows;
};

// The case name stands for the case in test output.
void PrintTo(const NotWholeCase& c, std::ostream* os) { *os << c.name; }

class ProgramImportNotWhole : public ProgramWithDatabase, public ::testing::WithParamInterface<NotWholeCase> {};

TEST_P(ProgramImportNotWhole, ReportsItAndKeepsTheMail) {
    const NotWholeCase& c = GetParam();
    home.WriteIni(&*db);
    if (c.folderExists) std::filesystem::create_directories(home / "Anlagen");
    if (c.incidentFolderIsAFile) std::ofstream(home / "Anlagen" / "1") << "kein Ordner";
    const auto mail = home / "plan.eml";
    const std::string raw =
        "From: leitstelle@example.org\r\nSubject: Plan\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
        "--b1\r\nContent-Type: text/plain\r\n\r\nAnbei.\r\n"
        "--b1\r\nContent-Type: application/pdf\r\nContent-Transfer-Encoding: base64\r\n"
        "Content-Disposition: attachment; filename=\"plan.pdf\"\r\n\r\nJVBERi0xLjQK\r\n--b1--\r\n";
    { std::ofstream(mail, std::ios::binary) << raw; }
    const auto r = RunProgram(DIRAVID_BINARY, {"--home", home.Path().string(), "--import", mail.string()});
    EXPECT_EQ(r.ExitCode, 1) << r.Stderr;
    EXPECT_EQ(r.Stdout.rfind(mail.string() + ": " + c.line, 0), 0u) << r.Stdout;
    std::vector<std::filesystem::path> kept;
    for (const auto& e : std::filesystem::directory_iterator(home / "Fehler")) kept.push_back(e.path());
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(ReadFile(kept[0]), raw);
    EXPECT_NE(r.Stdout.find(" (aufbewahrt als " + kept[0].string() + ")\n"), std::string::npos) << r.Stdout;
    const auto entries = home.LogEntries();
    EXPECT_NE(std::find(entries.begin(), entries.end(), "FEHLER    | Mail aufbewahrt als " + kept[0].string()),
              entries.end())
        << ::testing::PrintToString(entries);
    EXPECT_EQ(db->Rows("SELECT ID FROM LF_NACHRICHTEN WHERE ADD_USER = 'DiraVid'").size(), c.rows);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProgramImportNotWhole,
    ::testing::Values(
        // A share that is not mounted: nothing is filed, the mail would stay in the mailbox.
        NotWholeCase{"AttachmentFolderMissing", false, false,
                     "fehlgeschlagen: Der Speicherort für Anhänge ", 0},
        NotWholeCase{"AttachmentNotStored", true, true,
                     "unvollständig abgelegt in Lage 1: Anhang 1 in Lage 1: Ordner ", 1}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kdv

namespace kdv {
namespace {

using testing::StartProgram;
using testing::TServiceHome;

// The three ways the program runs against a home folder.
struct TModeCase {
    const char* Name;
    std::vector<std::string> Args;  // after --home DIR
};

std::vector<TModeCase> Modes(const std::string& mailFile) {
    return {{"once", {"--once"}}, {"import", {"--import", mailFile}}, {"service", {}}};
}

std::vector<std::string> WithHome(const std::filesystem::path& home, const std::vector<std::string>& args) {
    std::vector<std::string> all{"--home", home.string()};
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

// Waits up to 30 s until a log entry holds `text`.
bool WaitForLog(const TServiceHome& home, const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        for (const auto& entry : home.LogEntries()) {
            if (entry.find(text) != std::string::npos) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

bool LogHas(const TServiceHome& home, const std::string& text) {
    for (const auto& entry : home.LogEntries()) {
        if (entry.find(text) != std::string::npos) return true;
    }
    return false;
}

const std::string kMail =
    "From: Leitstelle <leitstelle@example.org>\r\nTo: lage@example.org\r\nSubject: Pegel\r\n"
    "Content-Type: text/plain; charset=utf-8\r\n\r\nPegel bei 4,20 m.\r\n";

TEST(ProgramHome, HomeFolderThatIsNotThereIsNamedAndNotCreated) {
    testing::TTempDir base{"diravid-base"};
    { std::ofstream(base / "datei") << "x"; }
    struct THomeCase {
        const char* Name;
        std::filesystem::path Home;
        std::string Says;
    };
    const THomeCase homes[] = {
        {"missing", base / "vertippt", " existiert nicht; er wird nicht angelegt."},
        {"a file", base / "datei", " ist kein Ordner."},
    };
    for (const auto& h : homes) {
        for (const auto& mode : Modes((base / "mail.eml").string())) {
            SCOPED_TRACE(std::string(h.Name) + ", " + mode.Name);
            const auto r = RunProgram(DIRAVID_BINARY, WithHome(h.Home, mode.Args));
            EXPECT_EQ(r.ExitCode, 1);
            EXPECT_EQ(r.Stderr, "Home-Ordner " + h.Home.string() + h.Says + "\n");
            EXPECT_EQ(std::filesystem::is_directory(h.Home), false);
        }
    }
}

// Without diravid.ini the defaults are tried; the failure names them.
TEST(ProgramHome, MissingSettingsFileIsNamedWithTheDatabaseTried) {
    for (const auto& mode : Modes("/nirgends/mail.eml")) {
#ifdef _WIN32
        // Started from a console, the Windows service only says how to install it.
        if (std::string(mode.Name) == "service") continue;
#endif
        SCOPED_TRACE(mode.Name);
        TServiceHome home;
        const auto r = RunProgram(DIRAVID_BINARY, WithHome(home.Path(), mode.Args));
        EXPECT_EQ(r.ExitCode, 1);
        EXPECT_NE(r.Stderr.find("KorvaneDiraVid konnte nicht gestartet werden: [DiraDB][MySQL] "), std::string::npos)
            << r.Stderr;
        EXPECT_NE(r.Stderr.find(" (diravid.ini fehlt; versucht wurde Datenbankserver 127.0.0.1, Port 3306)\n"),
                  std::string::npos)
            << r.Stderr;
        EXPECT_NE(r.Stderr.find("Einzelheiten im Log " + (home / "KorvaneDiraVid.log").string()), std::string::npos);
        EXPECT_TRUE(LogHas(home, "Hinweis   | Einstellungsdatei " + (home / "diravid.ini").string() +
                                     " fehlt; es gelten die Vorgaben."));
        EXPECT_TRUE(LogHas(home, "(diravid.ini fehlt; versucht wurde Datenbankserver 127.0.0.1, Port 3306))"));
    }
}

class ProgramTakingTurns : public ::testing::Test {
protected:
    void SetUp() override {
        KDV_REQUIRE_DB_SERVER();
        db.emplace("ProgramTurns", testing::TFixtureOptions{false, true, (home / "Anlagen").string()});
        home.WriteIni(&*db);
        { std::ofstream(home / "mail.eml", std::ios::binary) << kMail; }
        { std::ofstream(home / "zweite.eml", std::ios::binary) << kMail; }
    }
    std::string Filed() {
        const auto rows = db->Rows("SELECT COUNT(*) FROM LF_NACHRICHTEN WHERE ADD_USER = 'DiraVid'");
        return rows.empty() ? "" : rows[0];
    }
    TServiceHome home;
    std::optional<testing::TTestDatabase> db;
};

const std::string kWaiting = "Hinweis   | Ein anderer Vorgang (Prozess ";

// Another process holds the home folder: a start waits with a level-5 line
// and goes on once the lock is free.
TEST_F(ProgramTakingTurns, StartWaitsForAnotherProcessOnTheHomeFolder) {
    const TModeCase modes[] = {{"once", {"--once"}}, {"import", {"--import", (home / "mail.eml").string()}}};
    int filed = 0;
    for (const auto& mode : modes) {
        SCOPED_TRACE(mode.Name);
        auto other = OpenFileLock(home / "diravid.lock");
        ASSERT_TRUE(other->TryLock());
        // Only this run's lines count.
        std::filesystem::remove(home / "KorvaneDiraVid.log");
        auto child = StartProgram(DIRAVID_BINARY, WithHome(home.Path(), mode.Args));
        ASSERT_TRUE(WaitForLog(home, kWaiting + std::to_string(::getpid()) + ") arbeitet mit diesem Home-Ordner"));
        // It stays waiting while the lock is held.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_FALSE(LogHas(home, "KorvaneDiraVid gestartet."));
        other->Unlock();
        const auto r = child->Finish();
        EXPECT_EQ(r.ExitCode, 0) << r.Stderr;
        EXPECT_NE(r.Stderr.find("warte auf die Sperre " + (home / "diravid.lock").string()), std::string::npos);
        EXPECT_TRUE(LogHas(home, "KorvaneDiraVid beendet."));
        if (mode.Args[0] == "--import") ++filed;
        EXPECT_EQ(Filed(), std::to_string(filed));
    }
}

// Ctrl-C or SIGTERM while waiting for the lock ends the run at once, cleanly.
TEST_F(ProgramTakingTurns, TerminationWhileWaitingEndsTheRun) {
#ifdef _WIN32
    if (::GetConsoleWindow() == nullptr) GTEST_SKIP() << "no console to send the program a Ctrl-Break through";
#endif
    auto other = OpenFileLock(home / "diravid.lock");
    ASSERT_TRUE(other->TryLock());
    for (const auto& mode : Modes((home / "mail.eml").string())) {
#ifdef _WIN32
        // Started from a console, the Windows service only says how to install it.
        if (std::string(mode.Name) == "service") continue;
#endif
        for (const int signal : {SIGINT, SIGTERM}) {
            SCOPED_TRACE(std::string(mode.Name) + (signal == SIGINT ? ", SIGINT" : ", SIGTERM"));
            // Only this run's lines count; a signal before it waits would
            // meet a process that does not catch it yet.
            std::filesystem::remove(home / "KorvaneDiraVid.log");
            auto child = StartProgram(DIRAVID_BINARY, WithHome(home.Path(), mode.Args));
            ASSERT_TRUE(WaitForLog(home, kWaiting));
            child->Signal(signal);
            const auto r = child->Finish();
            EXPECT_EQ(r.ExitCode, 1);
            EXPECT_TRUE(LogHas(home, "Hinweis   | Start abgebrochen: Abbruch angefordert, während ein anderer Vorgang "
                                     "den Home-Ordner sperrte."));
            EXPECT_FALSE(LogHas(home, "KorvaneDiraVid gestartet."));
            EXPECT_EQ(Filed(), "0");
        }
    }
}

// --import on Ctrl-C: the mail in hand is filed, the files after it are left.
TEST_F(ProgramTakingTurns, ImportStopsAfterTheMailInHand) {
#ifdef _WIN32
    if (::GetConsoleWindow() == nullptr) GTEST_SKIP() << "no console to send the program a Ctrl-Break through";
#endif
    // A session that holds back every new journal row, so the first mail is
    // in hand when the signal comes.
    TDbConnection other;
    for (const auto& line : db->ConnectionParams()) other.Params.Add(line);
    TDbQuery hold(other);
    hold.ExecSQL("START TRANSACTION");
    hold.Open("SELECT ID FROM LF_NACHRICHTEN FOR UPDATE");
    auto child = StartProgram(DIRAVID_BINARY, WithHome(home.Path(), {"--import", (home / "mail.eml").string(),
                                                                        (home / "zweite.eml").string()}));
    ASSERT_TRUE(WaitForLog(home, "wird ausgewertet."));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    child->Signal(SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    hold.ExecSQL("COMMIT");
    const auto r = child->Finish();
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_EQ(r.Stdout, (home / "mail.eml").string() + ": abgelegt in Lage 1\n");
    EXPECT_EQ(r.Stderr, "Abgebrochen; nicht eingelesen: 1 Datei(en).\n");
    EXPECT_EQ(Filed(), "1");
    const auto entries = home.LogEntries();
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back(), "Hinweis   | KorvaneDiraVid beendet.");
}

}  // namespace
}  // namespace kdv
