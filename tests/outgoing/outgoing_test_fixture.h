#pragma once
// A fresh incident database, a mailbox user of the mail sandbox, a home
// folder with settings and log, and the context the outgoing side runs in.
// Mails are read back from the user's Dovecot mailbox over IMAPS (curl) and
// parsed with the project's reader.
//
// Incident 3 "Hochwasser Süd"; stored attachment folder "D:\Anlagen",
// mapped by [Pfade] to Home/anlagen (which exists).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "db/db_connection.h"
#include "db/db_query.h"
#include "log/log_file.h"
#include "mail/mail_message.h"
#include "mail/mime_reader.h"
#include "outgoing/mail_versand.h"
#include "platform/ini_file.h"
#include "support/db_test_server.h"
#include "support/mail_sandbox.h"
#include "support/temp_dir.h"

namespace kdv::outgoing_test {

using ::kdv::testing::Env;

// A clock that runs with the machine's, shifted by Offset.
class TShiftedClock : public IClock {
public:
    std::chrono::hours Offset{0};
    LocalTime Now() const override { return SystemClock().Now() + Offset; }
};

inline std::string RunCommand(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return output;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    ::pclose(pipe);
    return output;
}

inline std::string CurrentTestName() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info->test_suite_name()) + "_" + info->name();
}

// Where a mail sandbox answers: the shared one named by the environment, or
// one of a test's own, read from the env file its script writes.
struct TMailSandbox {
    std::string Script;
    std::string Folder;
    std::string Host;
    std::string Domain;
    std::string SmtpPort;
    std::string ImapsPort;
    std::string User;
    std::string Password;

    static TMailSandbox Shared() {
        return {Env("DIRAVID_MAIL_SCRIPT"), Env("DIRAVID_MAIL_SANDBOX"), Env("DIRAVID_MAIL_HOST"),
                Env("DIRAVID_MAIL_DOMAIN"), Env("DIRAVID_SMTP_PORT"),   Env("DIRAVID_IMAPS_PORT"),
                Env("DIRAVID_MAIL_USER"),   Env("DIRAVID_MAIL_PASSWORD")};
    }

    // The "export NAME=value" lines of DIR/env.
    static TMailSandbox FromEnvFile(const std::string& script, const std::filesystem::path& file) {
        std::map<std::string, std::string> values;
        std::ifstream in(file);
        std::string line;
        while (std::getline(in, line)) {
            const std::string prefix = "export ";
            const std::size_t eq = line.find('=');
            if (line.rfind(prefix, 0) != 0 || eq == std::string::npos) continue;
            values[line.substr(prefix.size(), eq - prefix.size())] = line.substr(eq + 1);
        }
        return {script,
                values["DIRAVID_MAIL_SANDBOX"],
                values["DIRAVID_MAIL_HOST"],
                values["DIRAVID_MAIL_DOMAIN"],
                values["DIRAVID_SMTP_PORT"],
                values["DIRAVID_IMAPS_PORT"],
                values["DIRAVID_MAIL_USER"],
                values["DIRAVID_MAIL_PASSWORD"]};
    }
};

// A Dovecot and Postfix of one test's own, for tests that stop a server;
// stopped again with the object.
class TPrivateMailSandbox {
public:
    TPrivateMailSandbox() {
        Run("start");
        Info = TMailSandbox::FromEnvFile(Env("DIRAVID_MAIL_SCRIPT"), Dir.Path() / "env");
    }
    ~TPrivateMailSandbox() {
        try {
            Run("stop");
        } catch (...) {
        }
    }
    TPrivateMailSandbox(const TPrivateMailSandbox&) = delete;
    TPrivateMailSandbox& operator=(const TPrivateMailSandbox&) = delete;

    // Both servers down; their mailboxes and users go with them.
    void Stop() { Run("stop"); }
    // Postfix (and Dovecot, when stopped) up again on the same ports.
    void RestartPostfix() { Run("restart", "postfix"); }

    testing::TTempDir Dir{"diravid-outgoing-mail"};
    TMailSandbox Info;

private:
    void Run(const std::string& command, const std::string& server = "") {
        std::vector<std::string> args = {command, Dir.Path().string()};
        if (!server.empty()) args.push_back(server);
        std::string output;
        if (testing::RunSandboxScript(Env("DIRAVID_MAIL_SCRIPT"), args, "", output) != 0) {
            throw std::runtime_error("mail-sandbox.sh " + command + " failed: " + output);
        }
    }
};

// A mailbox user of a sandbox, made for one test.
class TMailbox {
public:
    explicit TMailbox(TMailSandbox sandbox = TMailSandbox::Shared()) : Sandbox(std::move(sandbox)) {
        static int counter = 0;
        Name = "out" + std::to_string(::getpid()) + "x" + std::to_string(++counter);
        Password = "pw" + Name;
        Register();
    }

    // Makes the user (again, after its sandbox was set up anew).
    void Register() const {
        std::string output;
        const int rc = testing::RunSandboxScript(Sandbox.Script, {"user", Sandbox.Folder, Name, Password}, "", output);
        if (rc != 0) throw std::runtime_error("mailbox user not made: " + output);
    }

    std::string Address() const { return Name + "@" + Sandbox.Domain; }

    std::string Url() const { return "imaps://" + Sandbox.Host + ":" + Sandbox.ImapsPort + "/INBOX"; }

    std::string Curl(const std::string& tail) const {
        return RunCommand("curl -s -k -u '" + Name + ":" + Password + "' " + tail + " 2>/dev/null");
    }

    std::vector<std::string> Uids() const {
        std::vector<std::string> uids;
        std::istringstream in(Curl("'" + Url() + "' -X 'UID SEARCH ALL'"));
        std::string word;
        while (in >> word) {
            if (word.find_first_not_of("0123456789") == std::string::npos) uids.push_back(word);
        }
        return uids;
    }

    // The raw mails once `count` have arrived (Postfix delivers in the
    // background); after that a short wait shows whether more follow.
    std::vector<std::string> Mails(std::size_t count, std::chrono::seconds patience = std::chrono::seconds{20}) const {
        const auto until = std::chrono::steady_clock::now() + patience;
        std::vector<std::string> uids = Uids();
        while (uids.size() < count && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds{200});
            uids = Uids();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds{700});
        uids = Uids();
        std::vector<std::string> mails;
        for (const std::string& uid : uids) mails.push_back(Curl("'" + Url() + ";UID=" + uid + "'"));
        return mails;
    }

    TMailSandbox Sandbox;
    std::string Name;
    std::string Password;
};

inline std::unique_ptr<TMailMessage> ParseMail(const std::string& text) {
    auto message = std::make_unique<TMailMessage>();
    LoadMessageFromMemory(*message, text);
    return message;
}

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::filesystem::path& path, const std::string& content) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

class OutgoingTest : public ::testing::Test {
public:
    void SetUp() override {
        KDV_REQUIRE_DB_SERVER();
        KDV_REQUIRE_MAIL_SANDBOX();
        OpenDatabase(nullptr);
        UseSandbox(TMailSandbox::Shared());
        Ini.WriteString("Pfade", "Windows", "D:\\Anlagen");
        Ini.WriteString("Pfade", "Lokal", Attachments().string());
        Ini.WriteString("Verbindung", "Zeitlimit", "10");
        std::filesystem::create_directories(Attachments());
    }

    void OpenDatabase(const testing::TDbServerInfo* server) {
        Db.emplace(CurrentTestName(), testing::TFixtureOptions{}, server);
        Db->Sql("INSERT INTO LF_LAGEN (ID, `NAME`, AKTIV, DAUERLAGE) VALUES (3, 'Hochwasser Süd', 1, 0);");
        Conn.Params.Clear();
        for (const std::string& line : Db->ConnectionParams()) Conn.Params.Add(line);
    }

    // Mails go through the sandbox's Postfix, from its ready user to a
    // mailbox of this test's own.
    void UseSandbox(const TMailSandbox& sandbox) {
        Box.emplace(sandbox);
        UseSmtp(sandbox.Host, sandbox.SmtpPort);
        Ini.WriteString("SMTP", "Username", sandbox.User);
        Ini.WriteString("SMTP", "Passwort", sandbox.Password);
        Ini.WriteString("SMTP", "MailAdresse", sandbox.User + "@" + sandbox.Domain);
        Ini.WriteString("Mail", "An", Box->Address());
    }

    void UseSmtp(const std::string& host, const std::string& port) {
        Ini.WriteString("SMTP", "Host", host);
        Ini.WriteString("SMTP", "Port", port);
    }

    std::filesystem::path Attachments() const { return Home.Path() / "anlagen"; }

    // A pending journal row of incident 3 with the given ID and columns
    // (column list and SQL values, e.g. "BETREFF,INHALT", "'a','b'").
    void Journal(int id, const std::string& columns, const std::string& values) {
        Db->Sql("INSERT INTO LF_NACHRICHTEN (ID, LAGE, ADD_USER, ADD_FUNKTION, ADD_TIME" +
                (columns.empty() ? "" : "," + columns) + ") VALUES (" + std::to_string(id) +
                ", 3, 'Meier', 'S3', '2024-01-29 14:05:09'" + (values.empty() ? "" : "," + values) + ");");
    }

    void Delivery(int id, int nachricht, const std::string& empfaenger) {
        Db->Sql("INSERT INTO LF_NACHRICHTEN_EMPF (ID, LAGE, NACHRICHT, TYP, EMPFAENGER, `STATUS`) VALUES (" +
                std::to_string(id) + ", 3, " + std::to_string(nachricht) + ", 'E', '" + empfaenger +
                "', 'Ungelesen');");
    }

    std::vector<std::string> Status(const std::string& table) {
        return Db->Rows("SELECT ID, DIRAVID_STATUS FROM " + table + " ORDER BY ID");
    }

    std::string LogText() const { return ReadFile(Home.Path() / "KorvaneDiraVid.log"); }

    // The subjects of the mailbox's mails (waiting for `count`), sorted.
    std::vector<std::string> Subjects(std::size_t count) {
        std::vector<std::string> subjects;
        for (const std::string& raw : Box->Mails(count)) subjects.push_back(ParseMail(raw)->Subject);
        std::sort(subjects.begin(), subjects.end());
        return subjects;
    }

    testing::TTempDir Home{"diravid-outgoing"};
    TIniFile Ini{Home.Path() / "diravid.ini"};
    TLogFile Log{Home.Path() / "KorvaneDiraVid.log", 9, TLogRotation{}};
    TShiftedClock Clock;
    std::optional<testing::TTestDatabase> Db;
    std::optional<TMailbox> Box;
    TDbConnection Conn;
    TMailVersandContext Ctx{Log, Ini, Conn, Clock, {}};
};

}  // namespace kdv::outgoing_test
