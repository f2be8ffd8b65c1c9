// The whole service signing in with OAuth 2.0, as operators run it: the
// built program with --once and --check against the sandbox's Postfix and
// Dovecot, which take only tokens the test token endpoint calls active. A
// journal entry goes out through Postfix and mails are filed over IMAP and
// POP3; a token the server stops taking is renewed; a revoked client and a
// stopped token endpoint lose nothing. No token and no secret reaches the
// log or the check's output.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "service/oauth_token_provider.h"
#include "support/db_test_server.h"
#include "support/mail_sandbox.h"
#include "support/run_program.h"
#include "support/scripted_peer.h"
#include "support/service_home.h"
#include "support/test_files.h"
#include "support/token_server.h"

namespace kdv {
namespace {

using testing::TSandboxMailbox;

#define EXPECT_HAS(text, part) EXPECT_NE(std::string(text).find(part), std::string::npos) << (text)

const std::string kClientSecret = "app-secret-Kx81rQ";

std::string PlainMail(const std::string& from, const std::string& to, const std::string& subject) {
    return "From: " + from + "\r\nTo: " + to + "\r\nSubject: " + subject +
           "\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nLage ruhig.\r\n";
}

class OAuthEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        KDV_REQUIRE_DB_SERVER();
        KDV_REQUIRE_MAIL_SANDBOX();
        Tokens.emplace();
        Tokens->AddClient("diravid-app", kClientSecret);
        Sandbox.emplace(Tokens->IntrospectionUrl());
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        Db.emplace(std::string("OAuth") + info->name());
        std::filesystem::create_directories(Home / "Anlagen");
        Db->Sql("INSERT INTO LF_LAGEN (ID, `NAME`, AKTIV, DAUERLAGE) VALUES (5, 'Deichbruch Nord', 1, 0);");
        Db->Sql("INSERT INTO OPTIONEN (`NAME`, WERT) VALUES ('LF_NR_PATH', '" + (Home / "Anlagen").string() + "');");
        Service.emplace(Sandbox->Info(), "svc");
        Person.emplace(Sandbox->Info(), "person");
        // Application tokens act for the service's mailbox.
        Tokens->SetAppUser(Service->Name());
        std::ofstream(Home / "ca.pem") << testing::TestCaCertificatePem();
        TokenUrl = Tokens->Url("/token");
        WriteIni(true);
    }

    // IMAP or POP3 as the mailbox, every protocol signing in by OAuth.
    void WriteIni(bool imap) {
        const auto& m = Sandbox->Info();
        Home.WriteIni(&*Db, "[SMTP]\nHost=" + m.Host() + "\nPort=" + m.Get("DIRAVID_SMTP_PORT") +
                                "\nUsername=" + Service->Name() + "\nAnmeldung=OAuth2\nMailAdresse=" +
                                Service->Address() + "\n[StartTLS]\nAktiv=1\n[IMAP]\nAktiv=" + (imap ? "1" : "0") +
                                "\nHost=" + m.Host() + "\nPort=" + m.Get("DIRAVID_IMAP_PORT") +
                                "\nSSL=1\nUsername=" + Service->Name() + "\nAnmeldung=OAuth2\n[POP3]\nAktiv=" +
                                (imap ? "0" : "1") + "\nHost=" + m.Host() + "\nPort=" + m.Get("DIRAVID_POP3_PORT") +
                                "\nUsername=" + Service->Name() + "\nAnmeldung=OAuth2\n[Mail]\nNeuNachricht=1\nAn=" +
                                Person->Address() + "\n[Maileingang]\nBetreff=1\n[Verbindung]\nZeitlimit=10\n" +
                                "[Zertifikat]\nCADatei=ca.pem\n[OAuth2]\nVerfahren=client_credentials\nTokenURL=" +
                                TokenUrl + "\nClientID=diravid-app\nClientSecret=" + kClientSecret +
                                "\nScope=https://outlook.office365.com/.default\n");
    }

    void Cycle() {
        const auto r = testing::RunProgram(DIRAVID_BINARY, {"--home", Home.Path().string(), "--once"});
        ASSERT_EQ(r.ExitCode, 0) << r.Stderr << LogText();
        Outputs += r.Stdout + r.Stderr;
    }

    std::string Check(int expected_status) {
        const auto r = testing::RunProgram(DIRAVID_BINARY, {"--home", Home.Path().string(), "--check"});
        EXPECT_EQ(r.ExitCode, expected_status) << r.Stdout << r.Stderr;
        Outputs += r.Stdout + r.Stderr;
        return r.Stdout;
    }

    // A pending journal entry and a reply waiting in the service's mailbox.
    void Work(const std::string& name) {
        Db->Sql("INSERT INTO LF_NACHRICHTEN (NUMMER, LAGE, ADD_USER, ADD_FUNKTION, BETREFF, INHALT, VON, AN, ART) "
                "VALUES (1, 5, 'Leitstelle', 'S2', '" + name + "', 'Text', 'Leitstelle', 'EL', 'Funk');");
        const std::size_t waiting = Service->Uids().size();
        Person->SendTo(Service->Address(), PlainMail(Person->Address(), Service->Address(), "AW: " + name + " (#5)"));
        ASSERT_EQ(Service->Mails(waiting + 1).size(), waiting + 1);
    }

    std::vector<std::string> Pending() const {
        return Db->Rows("SELECT BETREFF FROM LF_NACHRICHTEN WHERE DIRAVID_STATUS IS NULL AND ADD_USER<>'DiraVid'");
    }
    std::size_t Filed() const { return Db->Rows("SELECT ID FROM LF_NACHRICHTEN WHERE ADD_USER='DiraVid'").size(); }
    std::size_t TokenRequests() const {
        const auto requests = Tokens->Requests();
        return static_cast<std::size_t>(std::count(requests.begin(), requests.end(), "/token client_credentials"));
    }

    std::string LogText() const {
        std::string text;
        std::vector<std::filesystem::path> files;
        if (std::filesystem::is_directory(Home / "Logs")) {
            for (const auto& e : std::filesystem::directory_iterator(Home / "Logs")) files.push_back(e.path());
        }
        std::sort(files.begin(), files.end());
        for (const auto& file : files) text += testing::ReadLogText(file);
        for (const std::string& line : Home.LogEntries()) text += line + "\n";
        return text;
    }

    // The one check over everything the runs wrote.
    void ExpectNoSecretWritten(const std::vector<std::string>& tokens) {
        const std::string written = LogText() + Outputs;
        EXPECT_EQ(written.find(kClientSecret), std::string::npos);
        for (const std::string& token : tokens) EXPECT_EQ(written.find(token), std::string::npos) << token;
    }

    std::optional<testing::TTestTokenServer> Tokens;
    std::optional<testing::TPrivateMailSandbox> Sandbox;
    testing::TServiceHome Home;
    std::optional<testing::TTestDatabase> Db;
    std::optional<TSandboxMailbox> Service;
    std::optional<TSandboxMailbox> Person;
    std::string TokenUrl;
    std::string Outputs;
};

TEST_F(OAuthEndToEnd, MailsAndFilesOverImapAndPop3WithOneTokenRenewedWhenRefused) {
    Work("Deich bricht");
    Cycle();
    EXPECT_EQ(Person->Mails(1).size(), 1u) << LogText();
    EXPECT_TRUE(Pending().empty()) << LogText();
    EXPECT_EQ(Filed(), 1u) << LogText();
    EXPECT_TRUE(Service->Uids().empty());
    // SMTP and IMAP shared one token, kept where only the service reads it.
    EXPECT_EQ(TokenRequests(), 1u);
#ifdef _WIN32
    // Private there by its access list, which has no mode bits to compare.
    ASSERT_TRUE(std::filesystem::exists(OAuthCacheFile(Home.Path(), "OAuth2")));
#else
    struct stat info {};
    ASSERT_EQ(stat(OAuthCacheFile(Home.Path(), "OAuth2").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
#endif

    // POP3 next time: the next process takes the token from the cache.
    WriteIni(false);
    Work("Pegel steigt");
    Cycle();
    EXPECT_EQ(Person->Mails(2).size(), 2u) << LogText();
    EXPECT_TRUE(Pending().empty()) << LogText();
    EXPECT_EQ(Filed(), 2u) << LogText();
    EXPECT_TRUE(Service->Uids().empty());
    EXPECT_EQ(TokenRequests(), 1u);

    // The servers stop taking the token before its time: renewed once, and
    // both sides go on.
    Tokens->ExpireAll();
    Work("Sandsäcke");
    Cycle();
    EXPECT_EQ(Person->Mails(3).size(), 3u) << LogText();
    EXPECT_TRUE(Pending().empty()) << LogText();
    EXPECT_EQ(Filed(), 3u) << LogText();
    EXPECT_EQ(TokenRequests(), 2u);

    // The check asks the endpoint anew for each protocol's token line.
    const std::string check = Check(0);
    EXPECT_EQ(TokenRequests(), 4u);
    EXPECT_HAS(check, "Token [OAuth2] client_credentials für SMTP: OK gültig bis ");
    EXPECT_HAS(check, "Token [OAuth2] client_credentials für POP3: OK gültig bis ");
    EXPECT_HAS(check, "angemeldet als " + Service->Name());
    ExpectNoSecretWritten(Tokens->AccessTokens());
}

struct TLossCase {
    const char* name;
    // Breaks the token endpoint after a first good cycle.
    std::function<void(OAuthEndToEnd&)> breaks;
    std::vector<std::string> log_parts;  // parts of the log's lines
};

void PrintTo(const TLossCase& c, std::ostream* os) { *os << c.name; }

class OAuthOutage : public OAuthEndToEnd, public ::testing::WithParamInterface<TLossCase> {
public:
    using OAuthEndToEnd::Tokens;
    using OAuthEndToEnd::TokenUrl;
    using OAuthEndToEnd::WriteIni;
};

TEST_P(OAuthOutage, LosesNothing) {
    Work("Deich bricht");
    Cycle();
    ASSERT_TRUE(Pending().empty()) << LogText();
    const std::vector<std::string> tokens = Tokens->AccessTokens();
    GetParam().breaks(*this);
    Work("Pegel steigt");
    Cycle();
    // The row stays pending, the mail in the mailbox, and the log says why.
    EXPECT_EQ(Pending(), std::vector<std::string>{"Pegel steigt"}) << LogText();
    EXPECT_EQ(Service->Uids().size(), 1u);
    EXPECT_EQ(Filed(), 1u);
    const std::string log = LogText();
    for (const std::string& part : GetParam().log_parts) EXPECT_HAS(log, part);
    const std::string check = Check(1);
    EXPECT_HAS(check, "Token [OAuth2] client_credentials für SMTP: FEHLER: " + std::string(kTokenFailure));
    ExpectNoSecretWritten(tokens);
}

INSTANTIATE_TEST_SUITE_P(
    Table, OAuthOutage,
    ::testing::Values(
        TLossCase{"ClientRevoked",
                  [](OAuthEndToEnd& t) {
                      static_cast<OAuthOutage&>(t).Tokens->RevokeAll();
                      static_cast<OAuthOutage&>(t).Tokens->SetRefusal("invalid_client",
                                                                        "AADSTS7000215: Invalid client secret provided.");
                  },
                  {"Authentifizierung am Mailserver fehlgeschlagen: " + std::string(kTokenFailure),
                   "Fehler bei Verbindung zu IMAP-Server: " + std::string(kTokenFailure),
                   "HTTP 401, invalid_client: AADSTS7000215: Invalid client secret provided."}},
        TLossCase{"TokenEndpointStopped",
                  [](OAuthEndToEnd& t) {
                      // The tokens in hand run out meanwhile: new ones are due.
                      static_cast<OAuthOutage&>(t).Tokens->CloseTokenPort();
                      static_cast<OAuthOutage&>(t).Tokens->ExpireAll();
                  },
                  {"Authentifizierung am Mailserver fehlgeschlagen: " + std::string(kTokenFailure),
                   "Fehler bei Verbindung zu IMAP-Server: " + std::string(kTokenFailure), "nicht erreichbar ("}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kdv
