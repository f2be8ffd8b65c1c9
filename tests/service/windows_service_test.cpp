// The Windows service as an operator installs it, run under Wine from the
// Linux tests: the zip unpacked into a folder with a blank and an umlaut,
// registered with the service manager, started, cycling, stopped and
// removed; a start without the database library; and one run with --once
// that mails a journal entry with its attachment and files a mail whose
// attachment's name has umlauts. The zip comes from DIRAVID_WINDOWS_PACKAGE
// (the Windows leg of test.sh sets it); without it the cases skip, unless
// DIRAVID_REQUIRE_WINDOWS=1 makes that a failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mail/mail_message.h"
#include "mail/mail_message_parts.h"
#include "mail/mime_reader.h"
#include "platform/text_file_encoding.h"
#include "service/mail_read_back.h"
#include "support/db_test_server.h"
#include "support/mail_sandbox.h"
#include "support/run_program.h"
#include "support/temp_dir.h"
#include "support/test_files.h"

namespace kdv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

#define EXPECT_HAS(text, part) EXPECT_NE(std::string(text).find(part), std::string::npos) << (text)

const char* const kWine = "/usr/bin/wine";
const char* const kWineServer = "/usr/bin/wineserver";

// The folder the operator unpacks the zip into, and the service's home.
const char* const kHomeName = "Leitstelle Übung";

// "Z:\\tmp\\..." for a Linux path: Wine maps the root to drive Z.
std::string WindowsPath(const fs::path& path) {
    std::string text = "Z:" + path.string();
    std::replace(text.begin(), text.end(), '/', '\\');
    return text;
}

// UTF-16LE with or without its mark, as Wine's reg.exe exports, as UTF-8.
std::string Utf8FromUtf16Le(std::string bytes) {
    if (bytes.rfind("\xff\xfe", 0) == 0) bytes.erase(0, 2);
    return Utf16ToUtf8(bytes, false);
}

// An ini as Notepad on Windows saves it: UTF-8 with a mark, CR LF.
std::string WindowsText(const std::string& text) {
    std::string out = "\xef\xbb\xbf";
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

// Waits until `done` holds or the patience is used up; says whether it held.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds patience) {
    const auto end = std::chrono::steady_clock::now() + patience;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(100ms);
    }
    return true;
}

// A Wine prefix of the suite's own (made once, about 15 s), so the service
// manager here meets neither the test programs' prefix nor another run's.
class TWinePrefix {
public:
    TWinePrefix() {
        env_ = {{"WINEPREFIX", (dir_ / "prefix").string()},
                {"WINEARCH", "win64"},
                // The event log's error entries are the one debug output kept.
                {"WINEDEBUG", "-all,err+eventlog"},
                {"WINEDLLOVERRIDES", "mscoree,mshtml=;winemenubuilder.exe=d"},
                {"DISPLAY", ""}};
        testing::RunProgram(kWine, {"wineboot", "--init"}, env_);
        testing::RunProgram(kWineServer, {"--wait"}, env_);
    }
    ~TWinePrefix() { testing::RunProgram(kWineServer, {"--kill"}, env_); }

    testing::TProgramResult Run(const std::vector<std::string>& args) const {
        return testing::RunProgram(kWine, args, env_);
    }
    std::unique_ptr<testing::TRunningProgram> Start(const std::vector<std::string>& args) const {
        return testing::StartProgram(kWine, args, env_);
    }
    void KillAll() const { testing::RunProgram(kWineServer, {"--kill"}, env_); }
    const fs::path& Folder() const { return dir_.Path(); }

private:
    testing::TTempDir dir_{"diravid-wine"};
    std::map<std::string, std::string> env_;
};

std::string PackageZip() { return testing::Env("DIRAVID_WINDOWS_PACKAGE"); }

class WindowsService : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!PackageZip().empty()) wine_ = new TWinePrefix();
    }
    static void TearDownTestSuite() {
        delete wine_;
        wine_ = nullptr;
    }

    void SetUp() override {
        if (PackageZip().empty()) {
            if (testing::Env("DIRAVID_REQUIRE_WINDOWS") == "1") {
                FAIL() << "DIRAVID_REQUIRE_WINDOWS=1 but DIRAVID_WINDOWS_PACKAGE names no zip";
            }
            GTEST_SKIP() << "no Windows package (DIRAVID_WINDOWS_PACKAGE; scripts/windows-package.sh makes one)";
        }
        KDV_REQUIRE_DB_SERVER();
        KDV_REQUIRE_MAIL_SANDBOX();
        Mail = testing::SharedMailSandbox();
        // Unpacked as an operator would; the zip's folder becomes the home.
        const auto unzip = testing::RunProgram("/usr/bin/unzip", {"-q", PackageZip(), "-d", Unpacked.Path().string()});
        ASSERT_EQ(unzip.ExitCode, 0) << unzip.Stderr;
        Home = Unpacked / kHomeName;
        fs::rename(Unpacked / "KorvaneDiraVid", Home);
        fs::create_directories(Home / "Anlagen");

        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        Db.emplace(std::string("Win") + info->name());
        Db->Sql("INSERT INTO LF_LAGEN (ID, `NAME`, AKTIV, DAUERLAGE) VALUES (5, 'Deichbruch Nord', 1, 0);");
        Db->Sql("INSERT INTO OPTIONEN (`NAME`, WERT) VALUES ('LF_NR_PATH', '" +
                Escaped(WindowsPath(Home / "Anlagen")) + "');");
        Service.emplace(*Mail, "winsvc");
        Person.emplace(*Mail, "winperson");
    }

    void TearDown() override {
        if (wine_ != nullptr) {
            // Whatever a failed case left registered goes with it.
            wine_->Run({Exe(), "/UNINSTALL", "/SILENT"});
            wine_->KillAll();
        }
    }

    static std::string Escaped(std::string text) {
        for (std::size_t at = text.find('\\'); at != std::string::npos; at = text.find('\\', at + 2)) {
            text.insert(at, "\\");
        }
        return text;
    }

    std::string Exe() const { return WindowsPath(Home / "diravid.exe"); }

    void WriteIni(const std::string& extra = "") {
        const testing::TDbServerInfo& db = Db->Server();
        const testing::TMailSandboxInfo& m = *Mail;
        testing::WriteFile(
            Home / "diravid.ini",
            WindowsText("[Database]\nDatabase=" + Db->Name() + "\nHostname=" + db.Host + "\nPort=" +
                        std::to_string(db.Port) + "\nUser=" + db.User + "\nPasswort=" + db.Password +
                        "\n[SMTP]\nHost=" + m.Host() + "\nPort=" + m.Get("DIRAVID_SMTP_PORT") +
                        "\nUsername=" + Service->Name() + "\nPasswort=" + Service->Password() +
                        "\nMailAdresse=" + Service->Address() + "\n[StartTLS]\nAktiv=1\n[IMAP]\nAktiv=1\nHost=" +
                        m.Host() + "\nPort=" + m.Get("DIRAVID_IMAP_PORT") + "\nSSL=1\nUsername=" +
                        Service->Name() + "\nPasswort=" + Service->Password() +
                        "\n[Mail]\nNeuNachricht=1\nNeueMail=0\nAn=" + Person->Address() +
                        "\n[Maileingang]\nBetreff=1\n[Verbindung]\nZeitlimit=10\n" + extra));
    }

    void Journal(const std::string& betreff, const std::string& inhalt) {
        Db->Sql("INSERT INTO LF_NACHRICHTEN (NUMMER, LAGE, ADD_USER, ADD_FUNKTION, BETREFF, INHALT, VON, AN, ART) "
                "VALUES (1, 5, 'Leitstelle', 'S2', '" +
                betreff + "', '" + inhalt + "', 'Leitstelle', 'Einsatzleitung', 'Funk');");
    }

    // The log is in Windows' ANSI code page (the prefix's: Windows-1252).
    std::string Log() const { return Utf8OrWindows1252ToUtf8(testing::ReadFile(Home / "KorvaneDiraVid.log")); }
    // Not UTF-8 on Windows: each umlaut of the cycle's last line is one byte.
    bool LogIsAnsi() const {
        return testing::ReadFile(Home / "KorvaneDiraVid.log").find("Pr\xfc" "fung auf neue Eintr\xe4" "ge") !=
               std::string::npos;
    }
    bool LogHas(const std::string& part) const { return Log().find(part) != std::string::npos; }

    // The service's key as `reg query` shows it; exit status 1 when it is gone.
    testing::TProgramResult ServiceKey() const {
        return wine_->Run({"reg", "query", "HKLM\\System\\CurrentControlSet\\Services\\diravid"});
    }

    // Wine's services end with the last ordinary Wine program of the prefix,
    // without a stop request; a waiting one keeps them alive for the case.
    // Its standard error is where the prefix's services write Wine's
    // rendering of the event log's error entries.
    std::unique_ptr<testing::TRunningProgram> KeepWineRunning() const {
        auto keeper = wine_->Start({"cmd", "/c", "ping -n 600 127.0.0.1 >nul"});
        EXPECT_TRUE(WaitFor([&] { return wine_->Run({"cmd", "/c", "exit 0"}).ExitCode == 0; }, 30s));
        return keeper;
    }

    static TWinePrefix* wine_;
    testing::TTempDir Unpacked{"diravid-win-home"};
    fs::path Home;
    const testing::TMailSandboxInfo* Mail = nullptr;
    std::optional<testing::TTestDatabase> Db;
    std::optional<testing::TSandboxMailbox> Service;
    std::optional<testing::TSandboxMailbox> Person;
};

TWinePrefix* WindowsService::wine_ = nullptr;

TEST_F(WindowsService, PackageHoldsTheProgramItsLibrariesTheSampleSettingsAndTheInstallText) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(Home)) {
        if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"LIESMICH.txt", "diravid.exe", "diravid.ini.beispiel",
                                               "libcrypto-3-x64.dll", "libcurl-4.dll", "libmariadb.dll",
                                               "libssl-3-x64.dll"}));
    const std::string sample = testing::ReadFile(Home / "diravid.ini.beispiel");
    EXPECT_EQ(sample.rfind("\xef\xbb\xbf", 0), 0u) << "the sample keeps its umlauts in any code page";
    EXPECT_HAS(sample, "[Database]\r\n");
    EXPECT_HAS(testing::ReadFile(Home / "LIESMICH.txt"), "diravid.exe /INSTALL");
}

TEST_F(WindowsService, InstalledStartedCyclingStoppedAndRemoved) {
    WriteIni("[Test]\nIntervallMs=1000\n");
    Journal("Deich bricht", "Bitte Sandsäcke an den Nordpegel.");
    const auto keeper = KeepWineRunning();

    const auto install = wine_->Run({Exe(), "/INSTALL", "/SILENT"});
    ASSERT_EQ(install.ExitCode, 0) << install.Stdout << install.Stderr;
    const auto key = ServiceKey();
    ASSERT_EQ(key.ExitCode, 0) << key.Stderr;
    EXPECT_HAS(key.Stdout, "diravid.exe");
    EXPECT_HAS(key.Stdout, "Leitstelle");
    EXPECT_HAS(key.Stdout, "KorvaneDiraVid");         // the display name
    EXPECT_HAS(key.Stdout, "Start    REG_DWORD    0x2");  // started with the system
    // The description has an umlaut; the export keeps it (UTF-16).
    const fs::path exported = wine_->Folder() / "diravid.reg";
    ASSERT_EQ(wine_->Run({"reg", "export", "HKLM\\System\\CurrentControlSet\\Services\\diravid",
                          WindowsPath(exported), "/y"})
                  .ExitCode,
              0);
    EXPECT_HAS(Utf8FromUtf16Le(testing::ReadFile(exported)),
               "\"Description\"=\"Service-Anwendung für das Empfangen und Versenden von E-Mails in Korvane.\"");

    const auto start = wine_->Run({"net", "start", "diravid"});
    ASSERT_EQ(start.ExitCode, 0) << start.Stdout << start.Stderr;
    ASSERT_TRUE(WaitFor([&] { return LogHas("| KorvaneDiraVid gestartet."); }, 60s)) << Log();
    // A cycle one (test) interval later mails the entry.
    ASSERT_EQ(Person->Mails(1, 30s).size(), 1u) << Log();
    ASSERT_TRUE(WaitFor([&] { return LogHas("Prüfung auf neue Einträge abgeschlossen."); }, 30s)) << Log();
    EXPECT_HAS(Log(), "Nachricht (ID:1) per Mail an " + Person->Address() + " versendet!");
    EXPECT_TRUE(LogIsAnsi()) << "the log is in the ANSI code page, as Windows' editors read it";
    EXPECT_EQ(Db->Rows("SELECT DIRAVID_STATUS FROM LF_NACHRICHTEN"), std::vector<std::string>{"1"});

    // The stop ends the service within its wait hint (5 s), with its lines.
    const auto before = std::chrono::steady_clock::now();
    const auto stop = wine_->Run({"net", "stop", "diravid"});
    const auto took = std::chrono::steady_clock::now() - before;
    EXPECT_EQ(stop.ExitCode, 0) << stop.Stdout << stop.Stderr;
    EXPECT_LT(took, 5s);
    EXPECT_TRUE(WaitFor([&] { return LogHas("| KorvaneDiraVid beendet."); }, 5s)) << Log();
    EXPECT_HAS(Log(), "| KorvaneDiraVid wird heruntergefahren.");
    const auto stopped = wine_->Run({"sc", "query", "diravid"}).Stdout;
    EXPECT_HAS(stopped, "STOPPED");
    EXPECT_HAS(stopped, "WIN32_EXIT_CODE    : 0 ");

    const auto uninstall = wine_->Run({Exe(), "/UNINSTALL", "/SILENT"});
    EXPECT_EQ(uninstall.ExitCode, 0) << uninstall.Stdout << uninstall.Stderr;
    EXPECT_NE(ServiceKey().ExitCode, 0) << "the service's key is gone";
    // Nothing was mailed twice.
    EXPECT_EQ(Person->Mails(1, 0ms).size(), 1u);
}

TEST_F(WindowsService, StartWithoutTheDatabaseLibraryFailsWithItsLineAndAnEventLogEntry) {
    WriteIni();
    fs::remove(Home / "libmariadb.dll");
    auto keeper = KeepWineRunning();
    ASSERT_EQ(wine_->Run({Exe(), "/INSTALL", "/SILENT"}).ExitCode, 0);

    wine_->Run({"net", "start", "diravid"});
    const std::string failed = "| EMERGENCY | KorvaneDiraVid konnte nicht gestartet werden! ([DiraDB][MySQL]-314.";
    ASSERT_TRUE(WaitFor([&] { return LogHas(failed); }, 60s)) << Log();
    EXPECT_HAS(Log(), "libmariadb.dll");
    EXPECT_FALSE(LogHas("KorvaneDiraVid gestartet."));
    // The manager shows it stopped with the service's own error code.
    const auto stoppedAgain = [&] {
        return wine_->Run({"sc", "query", "diravid"}).Stdout.find("STOPPED") != std::string::npos;
    };
    EXPECT_TRUE(WaitFor(stoppedAgain, 10s));
    const auto state = wine_->Run({"sc", "query", "diravid"}).Stdout;
    EXPECT_HAS(state, "WIN32_EXIT_CODE    : 1066");  // ERROR_SERVICE_SPECIFIC_ERROR
    EXPECT_HAS(state, "SERVICE_EXIT_CODE  : 1 ");

    ASSERT_EQ(wine_->Run({Exe(), "/UNINSTALL", "/SILENT"}).ExitCode, 0);
    wine_->KillAll();
    const auto kept = keeper->Finish();
    EXPECT_HAS(kept.Stderr, "err:eventlog:ReportEventW L\"KorvaneDiraVid konnte nicht gestartet werden! "
                            "([DiraDB][MySQL]-314.");
}

TEST_F(WindowsService, OnceMailsAnEntryWithItsAttachmentAndFilesAMailWithAnUmlautAttachment) {
    WriteIni();
    // Out: an entry whose attachment the application stored with a Windows path.
    Journal("Lagebericht", "Anbei der Lagebericht.");
    const std::string report = "%PDF-1.4\nLagebericht Nord\n";
    const fs::path reportFile = Home / "Anlagen" / "5" / "1" / "Lagebericht_Übersicht.pdf";
    testing::WriteFile(reportFile, report);
    Db->Sql("INSERT INTO LF_NACHRICHTEN_ANLAGEN (LAGE, NACHRICHT, PFAD, FILENAME) VALUES (5, 1, '" +
            Escaped(WindowsPath(reportFile)) + "', 'Lagebericht_Übersicht.pdf');");
    // In: a reply whose attachment's name has umlauts (RFC 2231, as mail
    // programs write it).
    const std::string plan = "%PDF-1.4\nStraßensperrung Süd\n";
    Service->Append("From: " + Person->Address() + "\r\nTo: " + Service->Address() +
                    "\r\nSubject: AW: Lagebericht (#5)\r\nMIME-Version: 1.0\r\n"
                    "Content-Type: multipart/mixed; boundary=\"g\"\r\n\r\n"
                    "--g\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n"
                    "Sperrung liegt bei.\r\n"
                    "--g\r\nContent-Type: application/pdf\r\nContent-Transfer-Encoding: base64\r\n"
                    "Content-Disposition: attachment; filename*=utf-8''Stra%C3%9Fensperrung_S%C3%BCd.pdf\r\n\r\n"
                    "JVBERi0xLjQKU3RyYcOfZW5zcGVycnVuZyBTw7xkCg==\r\n--g--\r\n");

    const auto once = wine_->Run({Exe(), "--once"});
    ASSERT_EQ(once.ExitCode, 0) << once.Stderr << Log();

    const auto sent = Person->Mails(1);
    ASSERT_EQ(sent.size(), 1u) << Log();
    EXPECT_EQ(testing::MailAttachments(sent[0]),
              (std::vector<std::pair<std::string, std::string>>{{"Lagebericht_Übersicht.pdf", report}}));

    const auto filed = Db->Rows("SELECT LAGE, FILENAME, PFAD FROM LF_NACHRICHTEN_ANLAGEN WHERE NACHRICHT<>1");
    ASSERT_EQ(filed.size(), 1u) << Log();
    EXPECT_EQ(filed[0].rfind("5\tStraßensperrung_Süd.pdf\tZ:", 0), 0u) << filed[0];
    // The stored Windows path names the file Wine wrote on this disk.
    std::string stored = filed[0].substr(filed[0].rfind('\t') + 3);
    std::replace(stored.begin(), stored.end(), '\\', '/');
    EXPECT_EQ(testing::ReadFile(stored), plan) << stored;
    EXPECT_TRUE(Service->Uids().empty()) << Log();
    EXPECT_HAS(Log(), "| KorvaneDiraVid beendet.");
}

}  // namespace
}  // namespace kdv
