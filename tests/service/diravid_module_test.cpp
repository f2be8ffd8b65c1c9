// The service module against a real database: start steps, the stop, and
// the start failures the operators see.
#include "service/diravid_module.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "service/service_runner.h"
#include "support/db_test_server.h"
#include "support/service_home.h"

namespace kdv {
namespace {

using testing::TServiceHome;

bool Contains(const std::vector<std::string>& entries, const std::string& entry) {
    return std::find(entries.begin(), entries.end(), entry) != entries.end();
}

class DiravidModule : public ::testing::Test {
protected:
    void SetUp() override {
        KDV_REQUIRE_DB_SERVER();
        db.emplace("DiravidModule");
    }
    std::optional<testing::TTestDatabase> db;
    TServiceHome home;
};

TEST_F(DiravidModule, StartAndStopWriteTheirLinesInOrder) {
    home.WriteIni(&*db);
    {
        Tdiravid module(home.Path());
        bool started = true;
        module.ServiceStart(started);
        ASSERT_TRUE(started) << ::testing::PrintToString(home.LogEntries());
        ASSERT_TRUE(module.whitelist);
        EXPECT_EQ(module.whitelist->Entries, std::vector<std::string>{"*"});
        bool stopped = true;
        module.ServiceStop(stopped);
        EXPECT_TRUE(stopped);
        EXPECT_FALSE(module.LogFileSys);
    }
    const auto entries = home.LogEntries();
    ASSERT_GE(entries.size(), 5u);
    EXPECT_EQ(entries.front(), "Hinweis   | KorvaneDiraVid V 1.0.6 wird gestartet, bitte warten...");
    EXPECT_EQ(entries[1], "Hinweis   | Mit Datenbank verbunden.");
    EXPECT_TRUE(Contains(entries, "Hinweis   | KorvaneDiraVid gestartet."));
    // Nothing after the stop lines: the teardown's disconnect stays silent.
    EXPECT_EQ(entries[entries.size() - 2], "Hinweis   | KorvaneDiraVid wird heruntergefahren.");
    EXPECT_EQ(entries.back(), "Hinweis   | KorvaneDiraVid beendet.");
}

struct StartCase {
    const char* name;
    const char* ini;            // appended after [Database]
    bool whitelistIsFolder;
    bool started;
    std::vector<std::string> expected;  // log entries that must be there
};

class DiravidStart : public DiravidModule, public ::testing::WithParamInterface<StartCase> {};

TEST_P(DiravidStart, LogsWhatHappened) {
    const StartCase& c = GetParam();
    home.WriteIni(&*db, c.ini);
    if (c.whitelistIsFolder) std::filesystem::create_directory(home / "whitelist.txt");
    Tdiravid module(home.Path());
    bool started = true;
    module.ServiceStart(started);
    EXPECT_EQ(started, c.started);
    const auto entries = home.LogEntries();
    for (const auto& e : c.expected) EXPECT_TRUE(Contains(entries, e)) << e << "\n" << ::testing::PrintToString(entries);
    EXPECT_EQ(Contains(entries, "Hinweis   | KorvaneDiraVid gestartet."), c.started);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DiravidStart,
    ::testing::Values(
        // Without an IMAP client the connect fails like an unreachable server: logged, start goes on.
        StartCase{"ImapConnectFailureIsLogged", "[IMAP]\nAktiv=1\nHost=127.0.0.1\n", false, true,
                  {"FEHLER    | Fehler bei Verbindung zu IMAP-Server: Kein IMAP-Client verfügbar."}},
        // An IMAP setting that can never work stops IMAP, not the service.
        StartCase{"StartTlsWithoutTlsTransportIsAnImapError", "[IMAP]\nAktiv=1\nSSL=0\n[StartTLS]\nAktiv=1\n", false,
                  true,
                  {"FEHLER    | Fehler bei Verbindung zu IMAP-Server: SSL IOHandler ist für diese "
                   "Einstellung erforderlich"}},
        StartCase{"UnreadableWhitelistFailsTheStart", "", true, false, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DiravidModule, WhitelistFileReplacesTheStar) {
    home.WriteIni(&*db);
    {
        std::ofstream w(home / "whitelist.txt", std::ios::binary);
        w << "alpha@example.org\r\nbeta@example.org\r\n";
    }
    Tdiravid module(home.Path());
    bool started = true;
    module.ServiceStart(started);
    ASSERT_TRUE(started);
    EXPECT_EQ(module.whitelist->Text(), "alpha@example.org\r\nbeta@example.org\r\n");
    const TMailEmpfangContext ctx = module.MailEmpfangContext();
    EXPECT_TRUE(ctx.Whitelist.Admits("Beta@Example.org"));
    EXPECT_FALSE(ctx.Whitelist.Admits("gamma@example.org"));
}

TEST_F(DiravidModule, StartNamesWhitelistEntriesThatDoNotDoWhatTheySeem) {
    home.WriteIni(&*db);
    {
        std::ofstream w(home / "whitelist.txt", std::ios::binary);
        w << " a@example.org \r\nHans <h@example.org>\r\n@example.net\r\n\r\n# Leitstelle\r\nexample.org\r\n"
             "*@example.com\r\n";
    }
    Tdiravid module(home.Path());
    bool started = true;
    module.ServiceStart(started);
    ASSERT_TRUE(started);
    std::vector<std::string> notices;
    for (const auto& e : home.LogEntries()) {
        if (e.find("Whitelist-Eintrag") != std::string::npos) notices.push_back(e);
    }
    EXPECT_EQ(notices,
              (std::vector<std::string>{
                  "Hinweis   | Whitelist-Eintrag \"# Leitstelle\" ist weder eine Adresse noch eine Domäne (@domain) "
                  "und wird nicht beachtet.",
                  "Hinweis   | Whitelist-Eintrag \"example.org\" ist weder eine Adresse noch eine Domäne (@domain) und "
                  "wird nicht beachtet.",
                  "Hinweis   | Whitelist-Eintrag \"*@example.com\" enthält \"*\": jeder Absender wird angenommen."}));
}

// Mails kept for the operator for thirty days: turned away by the whitelist,
// or automatic replies and bounces. Older ones go at the start and at every
// cycle, so a service that runs for months keeps no more.
struct KeptFolderCase {
    const char* name;
    const char* folder;
    const char* removedLine;
};

class DiravidKeptMails : public DiravidModule, public ::testing::WithParamInterface<KeptFolderCase> {
protected:
    void WriteAged(const std::string& name, int days) {
        const auto folder = home / GetParam().folder;
        std::filesystem::create_directories(folder);
        std::ofstream(folder / name) << "x";
        std::filesystem::last_write_time(folder / name,
                                         std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * days));
    }
    bool Kept(const std::string& name) { return std::filesystem::exists(home / GetParam().folder / name); }
};

TEST_P(DiravidKeptMails, StartAndEveryCycleRemoveMailsOlderThanThirtyDays) {
    home.WriteIni(&*db);
    WriteAged("alt.eml", 31);
    WriteAged("neu.eml", 29);
    Tdiravid module(home.Path());
    bool started = true;
    module.ServiceStart(started);
    ASSERT_TRUE(started);
    EXPECT_FALSE(Kept("alt.eml"));
    EXPECT_TRUE(Kept("neu.eml"));
    EXPECT_TRUE(Contains(home.LogEntries(), GetParam().removedLine)) << ::testing::PrintToString(home.LogEntries());

    WriteAged("neu.eml", 30 + 1);
    WriteAged("heute.eml", 0);
    module.mailtimerTimer();
    EXPECT_FALSE(Kept("neu.eml"));
    EXPECT_TRUE(Kept("heute.eml"));
    const auto entries = home.LogEntries();
    EXPECT_EQ(std::count(entries.begin(), entries.end(), GetParam().removedLine), 2);
}

INSTANTIATE_TEST_SUITE_P(
    Folders, DiravidKeptMails,
    ::testing::Values(
        KeptFolderCase{"TurnedAwayByTheWhitelist", "Abgewiesen", "Debug     | 1 abgewiesene Mails aus Abgewiesen gelöscht."},
        KeptFolderCase{"RepliesAndBounces", "Automatisch", "Debug     | 1 automatische Mails aus Automatisch gelöscht."}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kdv

namespace kdv {
namespace {

// A termination request at the n-th wait; counts the waits.
class TStopAfterWaits : public ITerminationSignal {
public:
    explicit TStopAfterWaits(int Waits) : left_(Waits) {}
    bool Wait(std::chrono::milliseconds timeout) override {
        if (stopped_ || timeout.count() <= 0) return stopped_;
        ++waits;
        if (--left_ <= 0) {
            stopped_ = true;
        } else {
            std::this_thread::sleep_for(timeout);
        }
        return stopped_;
    }
    int waits = 0;

private:
    int left_;
    bool stopped_ = false;
};

// Another process's lock on the home folder: the cycle waits for it with one
// level-5 line, runs once it is free, and is given up on a termination request.
TEST_F(DiravidModule, CycleTakesTurnsWithAnotherHolderOfTheHomeLock) {
    home.WriteIni(&*db);
    Tdiravid module(home.Path());
    int cycles = 0;
    module.Jobs.SendEmpfaengerNachrichten = [&] { ++cycles; };
    bool started = true;
    module.ServiceStart(started);
    ASSERT_TRUE(started);
    const std::string waiting = "Hinweis   | Ein anderer Vorgang (Prozess " + std::to_string(::getpid()) +
                                ") arbeitet mit diesem Home-Ordner; warte auf die Sperre " +
                                (home / Tdiravid::kLockFileName).string() + ".";
    auto other = OpenFileLock(home / Tdiravid::kLockFileName);
    ASSERT_TRUE(other->TryLock());

    // Stopped while waiting: no job runs, the timer goes on.
    TStopAfterWaits stop(3);
    module.SetTermination(&stop);
    module.mailtimerTimer();
    EXPECT_EQ(cycles, 0);
    EXPECT_EQ(stop.waits, 3);
    EXPECT_TRUE(module.mailtimer.Enabled());
    auto entries = home.LogEntries();
    EXPECT_EQ(std::count(entries.begin(), entries.end(), waiting), 1) << ::testing::PrintToString(entries);

    // Freed while waiting: the cycle runs, and afterwards leaves the lock free.
    TStopAfterWaits never(1000);
    module.SetTermination(&never);
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        other->Unlock();
    });
    module.mailtimerTimer();
    release.join();

    EXPECT_EQ(cycles, 1);
    EXPECT_GT(never.waits, 0);
    entries = home.LogEntries();
    EXPECT_EQ(std::count(entries.begin(), entries.end(), waiting), 2);
    EXPECT_TRUE(other->TryLock()) << "the cycle kept the lock";
    other->Unlock();

    // Free from the start: no line, no wait.
    TStopAfterWaits unused(1000);
    module.SetTermination(&unused);
    module.mailtimerTimer();
    EXPECT_EQ(cycles, 2);
    EXPECT_EQ(unused.waits, 0);
    EXPECT_EQ(home.LogEntries().size(), entries.size());
}

// A termination request that can be raised from inside a job.
class TStopFlag : public ITerminationSignal {
public:
    bool Wait(std::chrono::milliseconds) override { return raised; }
    bool raised = false;
};

// A stop request in the middle of a cycle: the job in hand finishes (it
// stops between its own rows or mails), the jobs after it do not begin, the
// log says so, and a single run ends with the stop lines.
TEST_F(DiravidModule, AStopRequestedInACycleSkipsTheJobsNotYetBegun) {
    home.WriteIni(&*db, "[Mail]\nNeuNachricht=1\n[POP3]\nAktiv=1\n[IMAP]\nAktiv=1\n");
    Tdiravid module(home.Path());
    TStopFlag stop;
    module.SetTermination(&stop);
    std::vector<std::string> ran;
    module.Jobs.SendNachrichten = [&] { ran.push_back("SendNachrichten"); };
    module.Jobs.SendEmpfaengerNachrichten = [&] {
        ran.push_back("SendEmpfaengerNachrichten");
        stop.raised = true;
    };
    module.Jobs.CheckPOP3Postfach = [&] { ran.push_back("CheckPOP3Postfach"); };
    module.Jobs.CheckIMAPPostfach = [&] { ran.push_back("CheckIMAPPostfach"); };
    module.Jobs.ConnectIMAP = [](const TImapStartSettings&) {};

    EXPECT_EQ(RunOnce(module, stop), 1);

    EXPECT_EQ(ran, (std::vector<std::string>{"SendNachrichten", "SendEmpfaengerNachrichten"}));
    const auto entries = home.LogEntries();
    const std::string early =
        "Hinweis   | Beenden angefordert: der Abrufzyklus endet vorzeitig; was offen ist, bleibt für den nächsten "
        "Start.";
    const auto at = std::find(entries.begin(), entries.end(), early);
    ASSERT_NE(at, entries.end()) << ::testing::PrintToString(entries);
    EXPECT_EQ(*(at + 1), "Hinweis   | KorvaneDiraVid wird heruntergefahren.");
    EXPECT_EQ(entries.back(), "Hinweis   | KorvaneDiraVid beendet.");
}

}  // namespace
}  // namespace kdv
