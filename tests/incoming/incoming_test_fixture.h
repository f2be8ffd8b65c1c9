#pragma once
// A home folder with settings and log, a fresh incident database and the
// context the evaluation runs in, for the incoming side's tests.
//
// Incidents of every fixture database:
//   3  active                     (journal: NUMMER 17 starts a thread,
//                                  NUMMER 18 answers within thread 9)
//   4  active, permanent (DAUERLAGE -1)
//   5  inactive
// Stored attachment folder "D:\Anlagen\", mapped by [Pfade] to Home/anlagen
// (which exists).
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db/db_connection.h"
#include "db/db_query.h"
#include "incoming/mail_empfang_context.h"
#include "log/log_file.h"
#include "mail/mail_message.h"
#include "mail/mime_reader.h"
#include "platform/ini_file.h"
#include "support/db_test_server.h"
#include "support/temp_dir.h"
#include "support/test_files.h"

namespace kdv::testing {

// A clock standing still; OnNow runs at every reading, so a test can act at
// the moment the evaluation looks at the time.
class TStillClock : public IClock {
public:
    LocalTime Time = std::chrono::local_days{std::chrono::year{2024} / 1 / 29} + std::chrono::hours{14} +
                     std::chrono::minutes{5} + std::chrono::seconds{9};
    std::function<void()> OnNow;
    LocalTime Now() const override {
        if (OnNow) OnNow();
        return Time;
    }
};

// A received mail: the text goes through the reader's in-memory road.
inline std::unique_ptr<TMailMessage> ParseMail(const std::string& text) {
    auto message = std::make_unique<TMailMessage>();
    LoadMessageFromMemory(*message, text);
    return message;
}

// A plain mail from `from` with the subject and body lines (LF separated).
inline std::string PlainMail(const std::string& from, const std::string& subject, const std::string& body,
                             const std::string& extraHeaders = "") {
    return "From: " + from + "\r\nTo: leitstelle@example.org\r\nSubject: " + subject + "\r\n" + extraHeaders +
           "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" + body + "\r\n";
}

class IncomingDbTest : public ::testing::Test {
protected:
    void SetUp() override {
        KDV_REQUIRE_DB_SERVER();
        OpenDatabase(nullptr);
    }

    // Creates the fixture database on `server` (nullptr: the shared one) and
    // connects to it.
    void OpenDatabase(const TDbServerInfo* server) {
        Db.emplace(CurrentTestName(), TFixtureOptions{}, server);
        Db->Sql(
            "INSERT INTO LF_LAGEN (ID, `NAME`, AKTIV, DAUERLAGE) VALUES "
            "(3, 'Hochwasser', 1, 0), (4, 'Dauerdienst', 1, -1), (5, 'Alt', 0, 0);"
            "INSERT INTO LF_NACHRICHTEN (NUMMER, LAGE, ADD_USER, BETREFF, ERSTBEZUG, DIRAVID_STATUS) VALUES "
            "(17, 3, 'Leitstelle', 'Start', NULL, 1), (18, 3, 'Leitstelle', 'Antwort', 9, 1);"
            "INSERT INTO OPTIONEN (`NAME`, WERT) VALUES ('LF_NR_PATH', 'D:\\\\Anlagen');");
        Conn.Params.Clear();
        for (const std::string& line : Db->ConnectionParams()) Conn.Params.Add(line);
        Ini.WriteString("Pfade", "Windows", "D:\\Anlagen");
        Ini.WriteString("Pfade", "Lokal", (Home.Path() / "anlagen").string());
        std::filesystem::create_directories(Home.Path() / "anlagen");
    }

    // Every row of a query through the service's own layer, values as text.
    std::vector<std::vector<std::string>> Select(const std::string& sql) {
        TDbQuery query(Conn);
        query.Open(sql);
        std::vector<std::vector<std::string>> rows;
        while (!query.Eof()) {
            std::vector<std::string> row;
            for (std::size_t i = 0; i < query.FieldCount(); ++i) {
                row.push_back(query.Fields(i).IsNull() ? "NULL" : query.Fields(i).AsString());
            }
            rows.push_back(std::move(row));
            query.Next();
        }
        return rows;
    }

    // One column of the rows the service filed, ordered by ID.
    std::vector<std::string> Filed(const std::string& column) {
        std::vector<std::string> values;
        for (const auto& row : Select("SELECT " + column + " FROM LF_NACHRICHTEN WHERE ADD_USER='DiraVid' ORDER BY ID")) {
            values.push_back(row.at(0));
        }
        return values;
    }

    std::string LogText() const { return ReadLogText(Home.Path() / "KorvaneDiraVid.log"); }

    std::filesystem::path LocalAttachments() const { return Home.Path() / "anlagen"; }

    TTempDir Home{"diravid-incoming"};
    TIniFile Ini{Home.Path() / "diravid.ini"};
    TLogFile Log{Home.Path() / "KorvaneDiraVid.log", 9, TLogRotation{}};
    TStillClock Clock;
    std::optional<TTestDatabase> Db;
    TDbConnection Conn;
    std::string LFPath = "D:\\Anlagen\\";
    TMailEmpfangContext Ctx{Log, Ini, Conn, TSenderRules({"*"}), [this] { return LFPath; }, Home.Path(), Clock};
};

}  // namespace kdv::testing
