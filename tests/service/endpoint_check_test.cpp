// "diravid --check" as an operator runs it, against the real database and
// mail servers: every endpoint passes and the home folder, the attachment
// folder and the mailbox stay as they were; each fault fails its own line
// with the text the service would log; stopped servers fail the check.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>

#include "clients/mail_imap4.h"
#include "support/db_test_server.h"
#include "support/mail_sandbox.h"
#include "support/run_program.h"
#include "support/service_home.h"
#include "support/temp_dir.h"

namespace kdv {
namespace {

namespace fs = std::filesystem;
using testing::Env;


// The settings as sections of keys, written in this order.
using TSettings = std::map<std::string, std::map<std::string, std::string>>;

std::string SettingsText(const TSettings& settings) {
    std::string text;
    for (const auto& [section, keys] : settings) {
        if (section == "Database") continue;  // written by the home folder
        text += "[" + section + "]\n";
        for (const auto& [key, value] : keys) text += key + "=" + value + "\n";
    }
    return text;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The one line that starts with `what`; empty when there is none.
std::string LineOf(const testing::TProgramResult& r, const std::string& what) {
    for (const std::string& line : Lines(r.Stdout)) {
        if (line.rfind(what, 0) == 0) return line;
    }
    return "";
}

std::vector<std::string> FolderEntries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class EndpointCheck : public ::testing::Test {
public:
    void SetUp() override {
        KDV_REQUIRE_DB_SERVER();
        KDV_REQUIRE_MAIL_SANDBOX();
        testing::TFixtureOptions options;
        options.Demo = true;
        options.LFPath = attachments.Path().string();
        db.emplace("EndpointCheck", options);
        mailbox.emplace(*testing::SharedMailSandbox(), "check");
        user = mailbox->Name();
        password = mailbox->Password();
        const std::string host = Env("DIRAVID_MAIL_HOST");
        settings["SMTP"] = {{"Host", host},
                            {"Port", Env("DIRAVID_SMTP_PORT")},
                            {"Username", user},
                            {"Passwort", password},
                            {"MailAdresse", user + "@localhost"}};
        settings["StartTLS"] = {{"Aktiv", "1"}};
        settings["POP3"] = {{"Aktiv", "1"},     {"Host", host},         {"Port", Env("DIRAVID_POP3S_PORT")},
                            {"SSL", "1"},       {"Username", user},     {"Passwort", password}};
        settings["IMAP"] = {{"Aktiv", "1"},     {"Host", host},         {"Port", Env("DIRAVID_IMAP_PORT")},
                            {"SSL", "1"},       {"Username", user},     {"Passwort", password}};
    }

    testing::TProgramResult Check() {
        home.WriteIni(&*db, SettingsText(settings));
        return testing::RunProgram(DIRAVID_BINARY, {"--check", "--home", home.Path().string()});
    }

    // A logged-in IMAP session of the test's own, unencrypted.
    void ConnectAsUser(TMailIMAP4& imap) {
        imap.Host = Env("DIRAVID_MAIL_HOST_NOTLS");
        imap.Port = static_cast<std::uint16_t>(std::stoi(Env("DIRAVID_IMAP_PORT")));
        imap.Username = user;
        imap.Password = password;
        imap.ReadTimeout = 10000;
        imap.Connect(true);
    }

    void AppendMail(const std::string& subject) {
        mailbox->Append("From: hans@example.org\r\nTo: " + mailbox->Address() + "\r\nSubject: " + subject +
                        "\r\n\r\nText\r\n");
    }

    testing::TServiceHome home;
    testing::TTempDir attachments{"diravid-check-attachments"};
    std::optional<testing::TTestDatabase> db;
    // The mailbox of the test alone, so runs and cases never share one.
    std::optional<testing::TSandboxMailbox> mailbox;
    std::string user;
    std::string password;
    TSettings settings;
};

TEST_F(EndpointCheck, EveryEndpointPassesAndNothingIsChanged) {
    AppendMail("Neu");
    // A POP3 session takes the mailbox's new marks, so it gets a mailbox of
    // its own here.
    const testing::TSandboxMailbox popMailbox(*testing::SharedMailSandbox(), "checkpop");
    const std::string popUser = popMailbox.Name();
    settings["POP3"]["Username"] = popUser;
    settings["POP3"]["Passwort"] = popMailbox.Password();
    const testing::TProgramResult r = Check();
    EXPECT_EQ(r.ExitCode, 0) << r.Stdout << r.Stderr;
    const std::vector<std::string> lines = Lines(r.Stdout);
    ASSERT_EQ(lines.size(), 9u) << r.Stdout;
    for (const std::string& line : lines) EXPECT_NE(line.find(": OK"), std::string::npos) << line;

    const std::string host = Env("DIRAVID_MAIL_HOST");
    EXPECT_NE(LineOf(r, "Datenbank " + db->Server().Host + ":" + std::to_string(db->Server().Port) + " " + db->Name() +
                            ": OK verbunden, Server ")
                  .size(),
              0u)
        << r.Stdout;
    EXPECT_EQ(LineOf(r, "Datenbank Tabellen"),
              "Datenbank Tabellen: OK LF_LAGEN, LF_NACHRICHTEN, LF_NACHRICHTEN_EMPF, LF_NACHRICHTEN_ANLAGEN, OPTIONEN");
    EXPECT_EQ(LineOf(r, "Datenbank Statusspalten"),
              "Datenbank Statusspalten: OK DIRAVID_STATUS in LF_NACHRICHTEN, LF_NACHRICHTEN_EMPF");
    EXPECT_EQ(LineOf(r, "Anhangordner"), "Anhangordner (OPTIONEN LF_NR_PATH): OK " + attachments.Path().string() +
                                             " vorhanden und beschreibbar");
    const std::string smtp = LineOf(r, "SMTP " + host + ":" + Env("DIRAVID_SMTP_PORT") + ": OK ");
    EXPECT_NE(smtp.find("; TLSv1."), std::string::npos) << r.Stdout;
    EXPECT_NE(smtp.find("; angemeldet als " + user), std::string::npos) << smtp;
    const std::string pop3 = LineOf(r, "POP3 " + host + ":" + Env("DIRAVID_POP3S_PORT") + ": OK TLSv1.");
    EXPECT_NE(pop3.find("; angemeldet als " + popUser + "; 0 Mails"), std::string::npos) << r.Stdout;
    const std::string imap = LineOf(r, "IMAP " + host + ":" + Env("DIRAVID_IMAP_PORT") + ": OK ");
    EXPECT_NE(imap.find("; TLSv1."), std::string::npos) << r.Stdout;
    EXPECT_NE(imap.find("; INBOX 1 Mails"), std::string::npos) << imap;
    // The greeting's text, not its capability list.
    EXPECT_EQ(imap.find("[CAPABILITY"), std::string::npos) << imap;
    EXPECT_EQ(LineOf(r, "Whitelist"),
              "Whitelist " + (home / "whitelist.txt").string() + ": OK fehlt: jeder Absender wird angenommen");

    // No start: no log, no log folder, no lock, no temporary folder, and the
    // probe file in the attachment folder is gone again.
    EXPECT_EQ(FolderEntries(home.Path()), std::vector<std::string>{"diravid.ini"});
    EXPECT_TRUE(FolderEntries(attachments.Path()).empty());
    // EXAMINE, not SELECT: the mail is still new for the next session.
    TMailIMAP4 after;
    ConnectAsUser(after);
    ASSERT_TRUE(after.SelectMailBox("INBOX"));
    EXPECT_EQ(after.MailBox.TotalMsgs, 1u);
    EXPECT_EQ(after.MailBox.RecentMsgs, 1u);
    after.Disconnect();
}

struct TFaultCase {
    const char* name;
    // Breaks one thing in the fixture.
    std::function<void(EndpointCheck&, TSettings&)> Break;
    // The start of the line that must fail, and of its text after "FEHLER: ".
    std::string what;
    std::string text;
};

class EndpointCheckFaults : public EndpointCheck, public ::testing::WithParamInterface<TFaultCase> {};

TEST_P(EndpointCheckFaults, FailsItsOwnLineWithTheServiceText) {
    const TFaultCase& c = GetParam();
    c.Break(*this, settings);
    const testing::TProgramResult r = Check();
    EXPECT_EQ(r.ExitCode, 1) << r.Stdout << r.Stderr;
    std::size_t failed = 0;
    for (const std::string& line : Lines(r.Stdout)) {
        if (line.find(": FEHLER: ") == std::string::npos) continue;
        ++failed;
        EXPECT_EQ(line.rfind(c.what, 0), 0u) << line;
        const std::string text = line.substr(line.find(": FEHLER: ") + 10);
        EXPECT_EQ(text.rfind(c.text, 0), 0u) << line;
    }
    EXPECT_EQ(failed, 1u) << r.Stdout;
}

INSTANTIATE_TEST_SUITE_P(
    Table, EndpointCheckFaults,
    ::testing::Values(
        TFaultCase{"WrongSmtpPassword", [](EndpointCheck&, TSettings& s) { s["SMTP"]["Passwort"] = "falsch"; }, "SMTP ",
                   "Authentifizierung am Mailserver fehlgeschlagen: "},
        TFaultCase{"WrongPop3Password", [](EndpointCheck&, TSettings& s) { s["POP3"]["Passwort"] = "falsch"; },
                   "POP3 ", "Fehler bei Überprüfung des POP3-Postfachs: "},
        TFaultCase{"WrongImapPassword", [](EndpointCheck&, TSettings& s) { s["IMAP"]["Passwort"] = "falsch"; },
                   "IMAP ", "Verbindungsfehler IMAP: "},
        TFaultCase{"ImapStartTlsWithoutSsl",
                   [](EndpointCheck&, TSettings& s) { s["IMAP"]["SSL"] = "0"; }, "IMAP ",
                   "Verbindungsfehler IMAP: SSL IOHandler ist für diese Einstellung erforderlich"},
        TFaultCase{"AttachmentFolderNotMounted",
                   [](EndpointCheck& f, TSettings& s) {
                       s["Pfade"] = {{"Windows", f.attachments.Path().string()}, {"Lokal", "/nicht/eingehaengt"}};
                   },
                   "Anhangordner (OPTIONEN LF_NR_PATH)", "Der Speicherort für Anhänge "},
        TFaultCase{"AttachmentFolderUnset",
                   [](EndpointCheck& f, TSettings&) { f.db->Sql("DELETE FROM OPTIONEN WHERE NAME='LF_NR_PATH'"); },
                   "Anhangordner (OPTIONEN LF_NR_PATH)", "Für Anhänge ist kein Speicherort definiert."},
        TFaultCase{"JournalTableMissing",
                   [](EndpointCheck& f, TSettings&) { f.db->Sql("DROP TABLE LF_NACHRICHTEN_ANLAGEN"); },
                   "Datenbank Tabellen", ""},
        TFaultCase{"WhitelistIsAFolder",
                   [](EndpointCheck& f, TSettings&) { fs::create_directory(f.home / "whitelist.txt"); }, "Whitelist ",
                   ""}),
    [](const ::testing::TestParamInfo<TFaultCase>& info) { return std::string(info.param.name); });

// Each server that does not answer fails its own line, and the check goes
// on to the next.
TEST_F(EndpointCheck, StoppedServersFailTheirLines) {
    testing::TPrivateDbServer dbServer;
    std::map<std::string, std::string> ports;
    {
        // Stopped and removed at the end of the block: its ports answer no more.
        const testing::TPrivateMailSandbox stopped;
        for (const char* name : {"DIRAVID_SMTP_PORT", "DIRAVID_POP3S_PORT", "DIRAVID_IMAP_PORT"}) {
            ports[name] = stopped.Info().Get(name);
        }
    }
    dbServer.Stop();

    settings["SMTP"]["Port"] = ports["DIRAVID_SMTP_PORT"];
    settings["POP3"]["Port"] = ports["DIRAVID_POP3S_PORT"];
    settings["IMAP"]["Port"] = ports["DIRAVID_IMAP_PORT"];
    std::ofstream(home / "diravid.ini")
        << "[Database]\nDatabase=Orldb\nHostname=" << dbServer.Info().Host << "\nPort=" << dbServer.Info().Port
        << "\nUser=" << dbServer.Info().User << "\nPasswort=" << dbServer.Info().Password << "\n[Verbindung]\nZeitlimit=5\n"
        << SettingsText(settings);
    const testing::TProgramResult r =
        testing::RunProgram(DIRAVID_BINARY, {"--check", "--home", home.Path().string()});
    EXPECT_EQ(r.ExitCode, 1) << r.Stdout << r.Stderr;
    const std::string host = Env("DIRAVID_MAIL_HOST");
    for (const std::string& what :
         {"Datenbank " + dbServer.Info().Host + ":" + std::to_string(dbServer.Info().Port) + " Orldb: FEHLER: ",
          "SMTP " + host + ":" + ports["DIRAVID_SMTP_PORT"] + ": FEHLER: Authentifizierung am Mailserver fehlgeschlagen: ",
          "POP3 " + host + ":" + ports["DIRAVID_POP3S_PORT"] + ": FEHLER: Fehler bei Überprüfung des POP3-Postfachs: ",
          "IMAP " + host + ":" + ports["DIRAVID_IMAP_PORT"] + ": FEHLER: Verbindungsfehler IMAP: "}) {
        EXPECT_FALSE(LineOf(r, what).empty()) << what << "\n" << r.Stdout;
    }
    // Without a database connection the checks that need one are not run.
    EXPECT_TRUE(LineOf(r, "Datenbank Tabellen").empty()) << r.Stdout;
    EXPECT_FALSE(LineOf(r, "Whitelist").empty()) << r.Stdout;
}

}  // namespace
}  // namespace kdv
