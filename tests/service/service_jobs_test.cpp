// The poll cycle without a database server: the module opens no connection,
// so the order of the jobs, their switches and the jobs the program's entry
// assigns are seen on their own.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "service/diravid_module.h"
#include "service/mail_eingang_jobs.h"
#include "service/program_main.h"
#include "support/service_home.h"

namespace kdv::testing {
namespace {

bool Contains(const std::vector<std::string>& entries, const std::string& entry) {
    return std::find(entries.begin(), entries.end(), entry) != entries.end();
}

class ServiceJobs : public ::testing::Test {
protected:
    // A module whose start skips the database.
    void Start(Tdiravid& module) {
        module.OpenDatabase = [](const TIniFile&) {};
        bool started = true;
        module.ServiceStart(started);
        ASSERT_TRUE(started) << ::testing::PrintToString(home.LogEntries());
    }

    TServiceHome home;
};

struct TCycleCase {
    const char* name;
    const char* ini;
    std::vector<std::string> jobs;
};

class ServiceCycle : public ServiceJobs, public ::testing::WithParamInterface<TCycleCase> {};

TEST_P(ServiceCycle, RunsTheSwitchedJobsInOrder) {
    home.WriteIni(nullptr);
    Tdiravid module(home.Path());
    std::vector<std::string> ran;
    module.Jobs.SendNachrichten = [&] { ran.push_back("SendNachrichten"); };
    module.Jobs.SendEmpfaengerNachrichten = [&] { ran.push_back("SendEmpfaengerNachrichten"); };
    module.Jobs.CheckPOP3Postfach = [&] { ran.push_back("CheckPOP3Postfach"); };
    module.Jobs.CheckIMAPPostfach = [&] {
        ran.push_back("CheckIMAPPostfach");
        // The timer is off while a cycle runs, so cycles cannot overlap.
        EXPECT_FALSE(module.mailtimer.Enabled());
    };
    Start(module);
    // The switches are read anew in every cycle: written after the start.
    home.WriteIni(nullptr, GetParam().ini);
    module.mailtimerTimer();
    EXPECT_EQ(ran, GetParam().jobs);
    EXPECT_TRUE(module.mailtimer.Enabled());
}

INSTANTIATE_TEST_SUITE_P(
    Switches, ServiceCycle,
    ::testing::Values(
        TCycleCase{"AllOff", "", {"SendEmpfaengerNachrichten"}},
        TCycleCase{"AllOn", "[Mail]\nNeuNachricht=1\n[POP3]\nAktiv=0x1\n[IMAP]\nAktiv=-3\n",
                   {"SendNachrichten", "SendEmpfaengerNachrichten", "CheckPOP3Postfach", "CheckIMAPPostfach"}},
        TCycleCase{"OnlyPop3", "[POP3]\nAktiv=1\n", {"SendEmpfaengerNachrichten", "CheckPOP3Postfach"}},
        TCycleCase{"OnlyImap", "[IMAP]\nAktiv=1\n", {"SendEmpfaengerNachrichten", "CheckIMAPPostfach"}},
        // NeueMail decides which rows are mailed, not whether the scan runs.
        TCycleCase{"NeueMailAloneRunsNoScan", "[Mail]\nNeueMail=1\n", {"SendEmpfaengerNachrichten"}},
        TCycleCase{"WordsAreNoNumbers", "[Mail]\nNeuNachricht=ja\n[POP3]\nAktiv=true\n", {"SendEmpfaengerNachrichten"}},
        TCycleCase{"KeysWithoutCase", "[mail]\nneunachricht=1\n", {"SendNachrichten", "SendEmpfaengerNachrichten"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ServiceJobs, AFailureEscapingTheCycleSwitchesTheTimerOnAgain) {
    home.WriteIni(nullptr);
    Tdiravid module(home.Path());
    module.Jobs.SendEmpfaengerNachrichten = [] { throw std::runtime_error("Testfehler"); };
    Start(module);
    module.mailtimerTimer();
    EXPECT_TRUE(module.mailtimer.Enabled());
}

TEST_F(ServiceJobs, TheProgramsEntryAssignsEveryJob) {
    home.WriteIni(nullptr);
    Tdiravid module(home.Path());
    TMailEingangJobs mailEingang(module);
    AssignServiceJobs(module, mailEingang);
    EXPECT_TRUE(module.Jobs.SendNachrichten);
    EXPECT_TRUE(module.Jobs.SendEmpfaengerNachrichten);
    EXPECT_TRUE(module.Jobs.CheckPOP3Postfach);
    EXPECT_TRUE(module.Jobs.CheckIMAPPostfach);
    EXPECT_TRUE(module.Jobs.ConnectIMAP);
}

// The assigned jobs are the real ones: the IMAP connect at start reaches the
// incoming side's client, and the outbox scans read their switches.
TEST_F(ServiceJobs, AssignedJobsReachTheMailSides) {
    home.WriteIni(nullptr, "[IMAP]\nAktiv=1\nSSL=0\n[StartTLS]\nAktiv=1\n[Mail]\nNeuNachricht=1\n");
    Tdiravid module(home.Path());
    TMailEingangJobs mailEingang(module);
    AssignServiceJobs(module, mailEingang);
    Start(module);
    home.WriteIni(nullptr, "[Mail]\nNeuNachricht=1\n");
    module.mailtimerTimer();
    const auto entries = home.LogEntries();
    const auto has = [&](const std::string& entry) {
        EXPECT_TRUE(Contains(entries, entry)) << entry << "\n" << ::testing::PrintToString(entries);
    };
    has("FEHLER    | Fehler bei Verbindung zu IMAP-Server: SSL IOHandler ist für diese Einstellung erforderlich");
    has("Debug     | Prüfe auf neue Einträge...");
    // No [SMTP] Host: the delivery scan says that mailing is off.
    has("Hinweis   | Kein SMTP-Server eingetragen ([SMTP] Host ist leer): der Mailversand ist abgeschaltet, neue "
        "Einträge werden ohne Mail als erledigt markiert.");
}

}  // namespace
}  // namespace kdv::testing
