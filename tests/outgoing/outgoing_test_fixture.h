#pragma once
// A fresh incident database, a mailbox user of the mail sandbox, a home
// folder with settings and log, and the context the outgoing side runs in.
// Mails are read back from the user's Dovecot mailbox over IMAPS (curl) and
// parsed with the project's reader.
//
// Incident 3 "Hochwasser Süd"; stored attachment folder "D:\Anlagen",
// mapped by [Pfade] to Home/anlagen (which exists).
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
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
#include "support/test_files.h"

namespace kdv::testing {

// A clock that runs with the machine's, shifted by Offset.
class TShiftedClock : public IClock {
public:
    std::chrono::hours Offset{0};
    LocalTime Now() const override { return SystemClock().Now() + Offset; }
};

inline std::unique_ptr<TMailMessage> ParseMail(const std::string& text) {
    auto message = std::make_unique<TMailMessage>();
    LoadMessageFromMemory(*message, text);
    return message;
}

class OutgoingTest : public ::testing::Test {
public:
    void SetUp() override {
        KDV_REQUIRE_DB_SERVER();
        KDV_REQUIRE_MAIL_SANDBOX();
        OpenDatabase(nullptr);
        UseSandbox(*SharedMailSandbox());
        Ini.WriteString("Pfade", "Windows", "D:\\Anlagen");
        Ini.WriteString("Pfade", "Lokal", Attachments().string());
        Smtp.time_limit_ms = 10000;
        std::filesystem::create_directories(Attachments());
    }

    void OpenDatabase(const TDbServerInfo* server) {
        Db.emplace(CurrentTestName(), TFixtureOptions{}, server);
        Db->Sql("INSERT INTO LF_LAGEN (ID, `NAME`, AKTIV, DAUERLAGE) VALUES (3, 'Hochwasser Süd', 1, 0);");
        Conn.Params.Clear();
        for (const std::string& line : Db->ConnectionParams()) Conn.Params.Add(line);
    }

    // Mails go through the sandbox's Postfix, from its ready user to a
    // mailbox of this test's own.
    void UseSandbox(const TMailSandboxInfo& sandbox) {
        Box.emplace(sandbox, "out");
        UseSmtp(sandbox.Host(), sandbox.Get("DIRAVID_SMTP_PORT"));
        Smtp.username = sandbox.Get("DIRAVID_MAIL_USER");
        Smtp.password = sandbox.Get("DIRAVID_MAIL_PASSWORD");
        Ini.WriteString("SMTP", "MailAdresse", sandbox.Get("DIRAVID_MAIL_USER") + "@" + sandbox.Domain());
        Ini.WriteString("Mail", "An", Box->Address());
    }

    void UseSmtp(const std::string& host, const std::string& port) {
        Smtp.host = host;
        Smtp.port = std::stoi(port);
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

    std::string LogText() const { return ReadLogText(Home.Path() / "KorvaneDiraVid.log"); }

    // The subjects of the mailbox's mails (waiting for `count`), sorted.
    std::vector<std::string> Subjects(std::size_t count) {
        std::vector<std::string> subjects;
        for (const std::string& raw : Box->Mails(count)) subjects.push_back(ParseMail(raw)->Subject);
        std::sort(subjects.begin(), subjects.end());
        return subjects;
    }

    TTempDir Home{"diravid-outgoing"};
    TIniFile Ini{Home.Path() / "diravid.ini"};
    // The mail server as the service would read it; a test changes it
    // between scans as an operator changes the settings file.
    TSmtpSettings Smtp;
    TLogFile Log{Home.Path() / "KorvaneDiraVid.log", 9, TLogRotation{}};
    TShiftedClock Clock;
    std::optional<TTestDatabase> Db;
    std::optional<TSandboxMailbox> Box;
    TDbConnection Conn;
    // The scans of one poll cycle share it; a test of several cycles
    // starts each with a fresh one.
    TMailVersandCycle Cycle;
    TMailVersandContext Ctx{Log, Ini, Conn, Clock, {}, Home.Path(), &Cycle, [this] { return Smtp; }};
};

}  // namespace kdv::testing
