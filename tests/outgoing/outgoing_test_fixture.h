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
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
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

// A mailbox user of the sandbox, made for one test.
class TMailbox {
public:
    explicit TMailbox(const std::string& hint) {
        static int counter = 0;
        Name = "out" + std::to_string(::getpid()) + "x" + std::to_string(++counter);
        (void)hint;
        Password = "pw" + Name;
        std::string output;
        const int rc = test::RunSandboxScript(Env("DIRAVID_MAIL_SCRIPT"),
                                              {"user", Env("DIRAVID_MAIL_SANDBOX"), Name, Password}, "", output);
        if (rc != 0) throw std::runtime_error("mailbox user not made: " + output);
    }

    std::string Address() const { return Name + "@" + Env("DIRAVID_MAIL_DOMAIN"); }

    std::string Url() const { return "imaps://" + Env("DIRAVID_MAIL_HOST") + ":" + Env("DIRAVID_IMAPS_PORT") + "/INBOX"; }

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
        Box.emplace(CurrentTestName());
        UseSmtp(Env("DIRAVID_MAIL_HOST"), Env("DIRAVID_SMTP_PORT"));
        Ini.WriteString("SMTP", "Username", Env("DIRAVID_MAIL_USER"));
        Ini.WriteString("SMTP", "Passwort", Env("DIRAVID_MAIL_PASSWORD"));
        Ini.WriteString("SMTP", "MailAdresse", Env("DIRAVID_MAIL_USER") + "@" + Env("DIRAVID_MAIL_DOMAIN"));
        Ini.WriteString("Mail", "An", Box->Address());
        Ini.WriteString("Pfade", "Windows", "D:\\Anlagen");
        Ini.WriteString("Pfade", "Lokal", Attachments().string());
        Ini.WriteString("Verbindung", "Zeitlimit", "10");
        std::filesystem::create_directories(Attachments());
    }

    void OpenDatabase(const test::TDbServerInfo* server) {
        Db.emplace(CurrentTestName(), test::TFixtureOptions{}, server);
        Db->Sql("INSERT INTO LF_LAGEN (ID, `NAME`, AKTIV, DAUERLAGE) VALUES (3, 'Hochwasser Süd', 1, 0);");
        Conn.Params.Clear();
        for (const std::string& line : Db->ConnectionParams()) Conn.Params.Add(line);
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
    std::optional<test::TTestDatabase> Db;
    std::optional<TMailbox> Box;
    TDbConnection Conn;
    TMailVersandContext Ctx{Log, Ini, Conn, Clock, {}};
};

}  // namespace kdv::outgoing_test
