#include "service/service_database.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>
#include <utility>

#include "db/db_error.h"
#include "db/db_query.h"
#include "incoming/mail_import.h"
#include "incoming/message_evaluation.h"
#include "mail/mail_message.h"
#include "log/log_line.h"
#include "platform/dira_error.h"
#include "mail/mime_reader.h"
#include "support/db_test_server.h"
#include "support/expect_raises.h"
#include "support/test_files.h"

using kdv::testing::ExpectRaises;

namespace kdv {
namespace {

namespace fs = std::filesystem;
using TEntries = std::vector<std::pair<int, std::string>>;

const std::string kFolderWarning =
    "Achtung: Für Anhänge ist kein Speicherort definiert. Ergänzen Sie dies bitte im Editor unter Einstellungen -> "
    "Speicheort Anhänge Lageführung.";
const std::string kDelimiter(1, kLFPathDelimiter);

std::string TestName() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info->test_suite_name()) + "_" + info->name();
}

// A folder with diravid.ini and the service log, the database the ini points
// at, and the service's connection with its log.
class ServiceDatabaseTest : public ::testing::Test {
protected:
    void SetUp() override {
        KDV_REQUIRE_DB_SERVER();
        Home = fs::temp_directory_path() / ("diravid-sdb-" + std::to_string(getpid()) + "-" + TestName());
        fs::remove_all(Home);
        fs::create_directories(Home);
        Log = std::make_unique<TLogFile>(Home / "KorvaneDiraVid.log", 7, TLogRotation{});
        Service = std::make_unique<TServiceDatabase>([this] { return Log.get(); });
        MapFoldersToHome(*Service);
    }

    // Every stored attachment folder is reached as Home / Local, which
    // exists unless a test removes it.
    void MapFoldersToHome(TServiceDatabase& service) {
        fs::create_directories(Home / Local);
        service.LocalFolder = [this](const std::string&) { return Home / Local; };
    }

    void TearDown() override {
        Service.reset();
        Log.reset();
        std::error_code ignored;
        fs::remove_all(Home, ignored);
    }

    void MakeDatabase(const testing::TFixtureOptions& Options, const testing::TDbServerInfo* Server = nullptr) {
        Db.emplace(TestName(), Options, Server);
        WriteIni(Db->Server().User, Db->Server().Password, std::to_string(Db->Server().Port));
    }

    void WriteIni(const std::string& User, const std::string& Password, const std::string& Port,
                  const std::string& Extra = "") {
        std::ofstream(Home / "diravid.ini") << "[Database]\r\nDatabase=" << Db->Name() << "\r\nHostname="
                                            << Db->Server().Host << "\r\nUser=" << User << "\r\nPasswort="
                                            << Password << "\r\nPort=" << Port << "\r\n"
                                            << Extra;
    }
    void WriteZeitlimit(int Seconds) {
        WriteIni(Db->Server().User, Db->Server().Password, std::to_string(Db->Server().Port),
                 "[Verbindung]\r\nZeitlimit=" + std::to_string(Seconds) + "\r\n");
    }
    // A second session on the test database, for locks the service must meet.
    std::unique_ptr<TDbConnection> OtherSession() {
        auto other = std::make_unique<TDbConnection>();
        for (const auto& line : Db->ConnectionParams()) other->Params.Add(line);
        return other;
    }

    void OpenService() { Service->Open(TIniFile(Home / "diravid.ini")); }

    // Every line logged since the last call, as level and text.
    TEntries TakeLog() {
        std::istringstream in(testing::ReadLogText(Home / "KorvaneDiraVid.log"));
        std::string line;
        TEntries all;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            // "DD.MM.YY | HH:MM:SS | level     | text"
            const std::string name = line.substr(22, kLogLevelNameWidth);
            int level = 0;
            while (level < 10 && (std::string(LogLevelName(level)) + std::string(9, ' ')).substr(0, 9) != name) ++level;
            all.emplace_back(level, line.substr(22 + kLogLevelNameWidth + 3));
        }
        TEntries fresh(all.begin() + static_cast<std::ptrdiff_t>(Seen), all.end());
        Seen = all.size();
        return fresh;
    }

    std::string Single(const std::string& Query) {
        const auto rows = Db->Rows(Query);
        return rows.size() == 1 ? rows[0] : "<" + std::to_string(rows.size()) + " rows>";
    }

    fs::path Home;
    std::unique_ptr<TLogFile> Log;
    std::unique_ptr<TServiceDatabase> Service;
    std::optional<testing::TTestDatabase> Db;
    std::size_t Seen = 0;
    std::string Local = "anlagen";
};

TEST_F(ServiceDatabaseTest, ParametersFromTheSettingsInTheirOrder) {
    MakeDatabase({.Demo = true, .LFPath = "/srv/anlagen"});
    OpenService();
    EXPECT_EQ(Service->database.Params.Lines(),
              (std::vector<std::string>{"DriverID=MySQL", "Protocol=TCPIP", "Database=" + Db->Name(),
                                        "Server=" + Db->Server().Host, "User_Name=" + Db->Server().User,
                                        "Password=" + Db->Server().Password,
                                        "Port=" + std::to_string(Db->Server().Port), "LoginTimeout=60",
                                        "ReadTimeout=60", "WriteTimeout=60"}));
    EXPECT_TRUE(Service->database.Connected());
    EXPECT_EQ(TakeLog(), (TEntries{{5, "Mit Datenbank verbunden."}}));
    EXPECT_EQ(Service->getLFPath(), "/srv/anlagen" + kDelimiter);
}

TEST_F(ServiceDatabaseTest, DefaultsWithoutSettingsFile) {
    // Nothing may answer on the default port here; the parameters are what counts.
    try {
        Service->Open(TIniFile(Home / "fehlt.ini"));
    } catch (const EDbError&) {
    }
    EXPECT_EQ(Service->database.Params.Lines(),
              (std::vector<std::string>{"DriverID=MySQL", "Protocol=TCPIP", "Database=Orldb", "Server=127.0.0.1",
                                        "User_Name=root", "Password=Zuk", "LoginTimeout=60", "ReadTimeout=60",
                                        "WriteTimeout=60"}));
}

TEST_F(ServiceDatabaseTest, PortThatIsNoNumberIsNamedByTheError) {
    MakeDatabase({});
    WriteIni(Db->Server().User, Db->Server().Password, "33o6");
    const EDbError e = ExpectRaises<EDbError>([&] { OpenService(); });
    EXPECT_STREQ(e.what(), "[DiraDB][MySQL]-309. Ungültiger Wert [33o6] für Verbindungsparameter Port");
    EXPECT_FALSE(Service->database.Connected());
}

TEST_F(ServiceDatabaseTest, OlderDatabaseGetsTheColumnsAndEveryOldRowIsHandled) {
    MakeDatabase({.Old = true, .Demo = true, .LFPath = "D:\\Anlagen"});
    OpenService();
    EXPECT_EQ(TakeLog(), (TEntries{{5, "Mit Datenbank verbunden."},
                                   {5, "Zusätzliche Felder in Datenbank werden angelegt."},
                                   {5, "Felder wurden angelegt."}}));
    for (const std::string table : {"LF_NACHRICHTEN", "LF_NACHRICHTEN_EMPF"}) {
        SCOPED_TRACE(table);
        EXPECT_NE(Single("SELECT COUNT(*) FROM " + table), "0");
        EXPECT_EQ(Single("SELECT COUNT(*) FROM " + table + " WHERE DIRAVID_STATUS IS NULL OR DIRAVID_STATUS<>1"), "0");
    }
    EXPECT_EQ(Service->getLFPath(), "D:\\Anlagen" + kDelimiter);

    // A row added later stays pending, also across the next start.
    Db->Sql("INSERT INTO LF_NACHRICHTEN (LAGE, INHALT) VALUES (1, 'neu');");
    TServiceDatabase second([this] { return Log.get(); });
    MapFoldersToHome(second);
    second.Open(TIniFile(Home / "diravid.ini"));
    EXPECT_EQ(TakeLog(), (TEntries{{5, "Mit Datenbank verbunden."}}));
    EXPECT_EQ(Single("SELECT COUNT(*) FROM LF_NACHRICHTEN WHERE DIRAVID_STATUS IS NULL"), "1");
}

// A bootstrap broken off part-way is completed at the next connect, table by
// table; old rows end up handled (1) and rows added later pending (NULL).
TEST_F(ServiceDatabaseTest, BrokenOffBootstrapIsCompletedAtTheNextConnect) {
    struct TCase {
        const char* Name;
        std::string Before;  // run on a database without the columns
    };
    const std::vector<TCase> cases = {
        {"nothing done", ""},
        {"first table done, second missing",
         "ALTER TABLE LF_NACHRICHTEN ADD DIRAVID_STATUS INTEGER; UPDATE LF_NACHRICHTEN SET DIRAVID_STATUS=1;"},
        {"second table added, its default left behind",
         "ALTER TABLE LF_NACHRICHTEN ADD DIRAVID_STATUS INTEGER; UPDATE LF_NACHRICHTEN SET DIRAVID_STATUS=1;"
         "ALTER TABLE LF_NACHRICHTEN_EMPF ADD DIRAVID_STATUS INTEGER DEFAULT 1;"},
        {"status columns done, mail column missing",
         "ALTER TABLE LF_NACHRICHTEN ADD DIRAVID_STATUS INTEGER; UPDATE LF_NACHRICHTEN SET DIRAVID_STATUS=1;"
         "ALTER TABLE LF_NACHRICHTEN_EMPF ADD DIRAVID_STATUS INTEGER; UPDATE LF_NACHRICHTEN_EMPF SET DIRAVID_STATUS=1;"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Service = std::make_unique<TServiceDatabase>([this] { return Log.get(); });
        MakeDatabase({.Old = true, .Demo = true, .LFPath = "/srv/a"});
        if (!c.Before.empty()) Db->Sql(c.Before);
        OpenService();
        EXPECT_EQ(TakeLog(), (TEntries{{5, "Mit Datenbank verbunden."},
                                       {5, "Zusätzliche Felder in Datenbank werden angelegt."},
                                       {5, "Felder wurden angelegt."}}));
        Db->Sql("INSERT INTO LF_NACHRICHTEN (LAGE, INHALT) VALUES (1, 'neu');"
                "INSERT INTO LF_NACHRICHTEN_EMPF (LAGE, NACHRICHT, TYP, EMPFAENGER) VALUES (1, 1, 'E', 'a@b.de');");
        for (const std::string table : {"LF_NACHRICHTEN", "LF_NACHRICHTEN_EMPF"}) {
            SCOPED_TRACE(table);
            EXPECT_EQ(Single("SELECT COUNT(*) FROM " + table + " WHERE DIRAVID_STATUS IS NULL"), "1");
            EXPECT_EQ(Single("SELECT COUNT(*) FROM " + table + " WHERE DIRAVID_STATUS=1"),
                      Single("SELECT COUNT(*) - 1 FROM " + table));
        }
        EXPECT_EQ(Single("SELECT CONCAT(COLUMN_TYPE, ' ', IS_NULLABLE) FROM information_schema.COLUMNS WHERE "
                         "TABLE_SCHEMA=DATABASE() AND TABLE_NAME='LF_NACHRICHTEN' AND COLUMN_NAME='DIRAVID_MAIL'"),
                  "char(64) YES");
        EXPECT_EQ(Single("SELECT GROUP_CONCAT(COLUMN_NAME ORDER BY SEQ_IN_INDEX), MAX(NON_UNIQUE) FROM "
                         "information_schema.STATISTICS WHERE TABLE_SCHEMA=DATABASE() AND TABLE_NAME='LF_NACHRICHTEN' "
                         "AND INDEX_NAME='DIRAVID_MAIL_IDX'"),
                  "LAGE,DIRAVID_MAIL\t1");
        // Complete now: the next connect finds nothing to do.
        TServiceDatabase again([this] { return Log.get(); });
        again.Open(TIniFile(Home / "diravid.ini"));
        EXPECT_EQ(TakeLog(), (TEntries{{5, "Mit Datenbank verbunden."}}));
    }
}

TEST_F(ServiceDatabaseTest, ZeitlimitGivesTheConnectionsTimeouts) {
    MakeDatabase({.Demo = true, .LFPath = "/srv/a"});
    WriteZeitlimit(7);
    OpenService();
    const auto& lines = Service->database.Params.Lines();
    for (const std::string line : {"LoginTimeout=7", "ReadTimeout=7", "WriteTimeout=7"}) {
        EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
    }
}

// A server that does not answer holds the service no longer than the limit.
TEST_F(ServiceDatabaseTest, HangingServerIsGivenUpAfterTheZeitlimit) {
    MakeDatabase({.Demo = true, .LFPath = "/srv/a"});
    WriteZeitlimit(1);
    OpenService();
    TakeLog();
    auto locker = OtherSession();
    TDbQuery lock(*locker);
    lock.ExecSQL("LOCK TABLES LF_LAGEN WRITE");
    TDbQuery q(Service->database);
    const auto start = std::chrono::steady_clock::now();
    const EDbError e = ExpectRaises<EDbError>([&] { q.Open("SELECT COUNT(*) FROM LF_LAGEN"); });
    EXPECT_EQ(e.ErrorKind(), TErrorKind::ekDbConnectionLost) << e.what();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    lock.ExecSQL("UNLOCK TABLES");
    q.Open("SELECT COUNT(*) FROM LF_LAGEN");
    EXPECT_EQ(q.Fields(0).AsString(), "1");
}

// Adding the columns may take longer than the limit: the bootstrap has none.
TEST_F(ServiceDatabaseTest, BootstrapIsExemptFromTheZeitlimit) {
    MakeDatabase({.Old = true, .Demo = true, .LFPath = "/srv/a"});
    WriteZeitlimit(1);
    // An open transaction that read the journal holds the ALTER back.
    auto reader = OtherSession();
    TDbQuery read(*reader);
    read.ExecSQL("START TRANSACTION");
    read.Open("SELECT COUNT(*) FROM LF_NACHRICHTEN");
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::seconds(3));
        read.ExecSQL("COMMIT");
    });
    const auto start = std::chrono::steady_clock::now();
    try {
        OpenService();
    } catch (...) {
        release.join();
        throw;
    }
    release.join();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(TakeLog(), (TEntries{{5, "Mit Datenbank verbunden."},
                                   {5, "Zusätzliche Felder in Datenbank werden angelegt."},
                                   {5, "Felder wurden angelegt."}}));
    EXPECT_EQ(Single("SELECT COUNT(*) FROM LF_NACHRICHTEN_EMPF WHERE DIRAVID_STATUS IS NULL"), "0");
}

const std::string kMailColumnMissing =
    "Die Spalte DIRAVID_MAIL fehlt in LF_NACHRICHTEN; Mails werden ohne sie abgelegt. Damit erkennt --import eine "
    "schon abgelegte Datei nicht, und eine Mail, deren Ablage die Antwort des Datenbankservers verlor, kann in "
    "einer Lage doppelt abgelegt werden.";

// A database user that may read and write the journal but not change its
// tables: the service runs on and files mail without the mark of its raw
// mail, and says once what that costs.
TEST_F(ServiceDatabaseTest, UserWithoutAlterRightsRunsOnAndFilesMail) {
    MakeDatabase({.Old = true, .Demo = true, .LFPath = "/srv/anlagen"});
    const std::string user = "nur_" + std::to_string(getpid());
    Db->Sql("CREATE USER '" + user + "'@'%' IDENTIFIED BY 'Lesen1';\nGRANT SELECT, INSERT, UPDATE ON `" + Db->Name() +
            "`.* TO '" + user + "'@'%';");
    struct TDropUser {
        const testing::TTestDatabase& db;
        const std::string& user;
        ~TDropUser() {
            try {
                db.Sql("DROP USER '" + user + "'@'%';");
            } catch (...) {
            }
        }
    } dropUser{*Db, user};
    WriteIni(user, "Lesen1", std::to_string(Db->Server().Port));
    OpenService();
    const auto checkBootstrap = [&](const TEntries& log) {
        ASSERT_GE(log.size(), 3u);
        EXPECT_EQ(log[0], (std::pair<int, std::string>{5, "Mit Datenbank verbunden."}));
        EXPECT_EQ(log[1], (std::pair<int, std::string>{5, "Zusätzliche Felder in Datenbank werden angelegt."}));
        EXPECT_EQ(log[2].first, 3);
        EXPECT_EQ(log[2].second.rfind("Fehler beim Anlegend der Felder: [DiraDB][MySQL] ALTER command denied to "
                                      "user '" + user + "'@",
                                      0),
                  0u)
            << log[2].second;
    };
    const TEntries log = TakeLog();
    ASSERT_EQ(log.size(), 4u);
    checkBootstrap(log);
    EXPECT_EQ(log[3], (std::pair<int, std::string>{5, kMailColumnMissing}));
    EXPECT_TRUE(Service->database.Connected());
    EXPECT_FALSE(Service->HasMailColumn());

    TIniFile ini(Home / "diravid.ini");
    TMailEmpfangContext ctx{*Log, ini, Service->database, TSenderRules({"*"}), [this] { return Service->getLFPath(); },
                            Home, SystemClock()};
    ctx.HasMailColumn = [this] { return Service->HasMailColumn(); };
    const fs::path mail = Home / "pegel.eml";
    std::ofstream(mail, std::ios::binary) << "From: hans@example.org\r\nTo: lage@example.org\r\nSubject: Pegel\r\n"
                                             "Content-Type: text/plain\r\n\r\nPegel steigt.\r\n";
    const TImportErgebnis filed = ImportMailDatei(ctx, mail);
    EXPECT_EQ(filed.Auswertung.Ergebnis, TAuswertungsErgebnis::Abgelegt) << filed.Auswertung.Grund;
    EXPECT_EQ(filed.Zeile, mail.string() + ": abgelegt in Lage 1 (ohne Spalte DIRAVID_MAIL: ein erneuter Import "
                                           "dieser Datei wird nicht als schon abgelegt erkannt)");
    EXPECT_EQ(Single("SELECT INHALT FROM LF_NACHRICHTEN WHERE ADD_USER='DiraVid'"), "Pegel\r###\rPegel steigt.\r\n");

    // A reconnect tries the columns again, but says what is lost only once.
    TakeLog();
    Service->database.Close();
    EXPECT_TRUE(Service->database.Connected());
    TEntries again = TakeLog();
    ASSERT_FALSE(again.empty());
    EXPECT_EQ(again.front().second, "Datenbankverbindung getrennt, versuche Wiederverbinden...");
    again.erase(again.begin());
    ASSERT_EQ(again.size(), 3u);
    checkBootstrap(again);
    EXPECT_FALSE(Service->HasMailColumn());

    // Once someone with the right adds the column, the next connect sees it.
    Db->Sql("ALTER TABLE LF_NACHRICHTEN ADD DIRAVID_MAIL CHAR(64) NULL, ADD INDEX DIRAVID_MAIL_IDX (LAGE, "
            "DIRAVID_MAIL);");
    Service->database.Close();
    EXPECT_TRUE(Service->database.Connected());
    EXPECT_TRUE(Service->HasMailColumn());
}

const std::string kNoFolder =
    "Für Anhänge ist kein Speicherort definiert. Ergänzen Sie dies bitte im Editor unter Einstellungen -> Speicheort "
    "Anhänge Lageführung.";

TEST_F(ServiceDatabaseTest, AttachmentFolderFromTheOption) {
    struct TCase {
        const char* Name;
        std::string Statement;  // run on a fixture without the option row
        std::string Folder;     // empty: getLFPath refuses with kNoFolder
    };
    const std::vector<TCase> cases = {
        {"no row", "", ""},
        {"NULL", "INSERT INTO OPTIONEN (NAME, WERT) VALUES ('LF_NR_PATH', NULL);", ""},
        {"empty", "INSERT INTO OPTIONEN (NAME, WERT) VALUES ('LF_NR_PATH', '');", ""},
        {"folder", "INSERT INTO OPTIONEN (NAME, WERT) VALUES ('LF_NR_PATH', 'D:\\\\Anlagen');", "D:\\Anlagen" + kDelimiter},
        {"ends with the delimiter",
         "INSERT INTO OPTIONEN (NAME, WERT) VALUES ('LF_NR_PATH', '/srv/a" + std::string(kDelimiter == "\\" ? "\\\\" : "/") +
             "');",
         "/srv/a" + kDelimiter + kDelimiter},
        {"first of two rows",
         "INSERT INTO OPTIONEN (NAME, WERT) VALUES ('LF_NR_PATH', 'eins'), ('LF_NR_PATH', 'zwei');", "eins" + kDelimiter},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Service = std::make_unique<TServiceDatabase>([this] { return Log.get(); });
        MapFoldersToHome(*Service);
        MakeDatabase({});
        if (!c.Statement.empty()) Db->Sql(c.Statement);
        OpenService();
        TEntries expected{{5, "Mit Datenbank verbunden."}};
        if (c.Folder.empty()) expected.emplace_back(3, kFolderWarning);
        EXPECT_EQ(TakeLog(), expected);
        if (c.Folder.empty()) {
            const EDiraError e = ExpectRaises([&] { Service->getLFPath(); });
            EXPECT_EQ(std::string(e.what()), kNoFolder);
        } else {
            EXPECT_EQ(Service->getLFPath(), c.Folder);
        }
    }
}

TEST_F(ServiceDatabaseTest, FolderIsReadAgainUntilItCanBeUsedAndThenKept) {
    MakeDatabase({});
    OpenService();
    const auto refusal = [this]() -> std::string {
        try {
            return "kept " + Service->getLFPath();
        } catch (const EDiraError& e) {
            return e.what();
        }
    };
    EXPECT_EQ(refusal(), kNoFolder);
    // Corrected in the application's editor: counts without a restart, but
    // only once the folder is there (a share not mounted yet).
    Db->Sql("INSERT INTO OPTIONEN (NAME, WERT) VALUES ('LF_NR_PATH', 'D:\\\\Anlagen');");
    Local = "noch_nicht_da";
    Service->LocalFolder = [this](const std::string&) { return Home / Local; };
    EXPECT_EQ(refusal(), "Der Speicherort für Anhänge D:\\Anlagen" + kDelimiter + " (" + (Home / Local).string() +
                             ") ist nicht vorhanden.");
    fs::create_directories(Home / Local);
    EXPECT_EQ(refusal(), "kept D:\\Anlagen" + kDelimiter);
    // From now on the folder is kept, as it was read.
    Db->Sql("UPDATE OPTIONEN SET WERT='E:\\\\Neu' WHERE NAME='LF_NR_PATH';");
    fs::remove(Home / Local);
    EXPECT_EQ(refusal(), "kept D:\\Anlagen" + kDelimiter);
}

TEST_F(ServiceDatabaseTest, MissingFolderIsWarnedAfterEveryConnect) {
    MakeDatabase({});
    OpenService();
    TakeLog();
    Service->database.Close();
    // The reconnect of the disconnect handler runs the checks again.
    EXPECT_TRUE(Service->database.Connected());
    EXPECT_EQ(TakeLog(), (TEntries{{5, "Datenbankverbindung getrennt, versuche Wiederverbinden..."},
                                   {5, "Mit Datenbank verbunden."},
                                   {3, kFolderWarning}}));
}

TEST_F(ServiceDatabaseTest, MissingOptionsTableFailsTheConnect) {
    MakeDatabase({});
    Db->Sql("DROP TABLE OPTIONEN;");
    const EDbError e = ExpectRaises<EDbError>([&] { OpenService(); });
    EXPECT_EQ(std::string(e.what()), "[DiraDB][MySQL] Table '" + Db->Name() + ".OPTIONEN' doesn't exist");
    EXPECT_EQ(TakeLog(), (TEntries{{5, "Mit Datenbank verbunden."}}));
}

TEST_F(ServiceDatabaseTest, SilencedTeardownLogsNothingAndDoesNotReconnect) {
    MakeDatabase({.Demo = true, .LFPath = "/srv/a"});
    OpenService();
    TakeLog();
    Service->Silence();
    Service->database.Close();
    EXPECT_FALSE(Service->database.Connected());
    EXPECT_EQ(TakeLog(), TEntries{});

    // Destroying a connected service, also with the log already gone, is silent.
    auto other = std::make_unique<TServiceDatabase>([] { return nullptr; });
    other->Open(TIniFile(Home / "diravid.ini"));
    EXPECT_TRUE(other->database.Connected());
    other.reset();
    EXPECT_EQ(TakeLog(), TEntries{});
}

TEST_F(ServiceDatabaseTest, ConnectionsDroppedAtOnceDoNotRecurse) {
    MakeDatabase({.Old = true, .Demo = true, .LFPath = "/srv/a"});
    TDbConnection killer;
    for (const auto& line : Db->ConnectionParams()) killer.Params.Add(line);
    // Every new connection of the service is killed before its checks run,
    // as by a server that drops connections at once. The cap only keeps a
    // broken build from recursing until the stack is gone.
    constexpr int kCap = 10;
    int kills = 0;
    Service->database.AfterConnect = [&] {
        if (kills < kCap) {
            ++kills;
            TDbQuery id(Service->database);
            id.Open("SELECT CONNECTION_ID()");
            TDbQuery kill(killer);
            kill.ExecSQL("KILL CONNECTION " + id.Fields(0).AsString());
        }
        Service->databaseAfterConnect();
    };
    const EDbError e = ExpectRaises<EDbError>([&] { OpenService(); });
    EXPECT_EQ(e.ErrorKind(), TErrorKind::ekDbConnectionLost) << e.what();
    EXPECT_LE(kills, 3);
    EXPECT_FALSE(Service->database.Connected());
    // Once connections stay up, the next use connects and adds the columns.
    kills = kCap;
    TDbQuery q(Service->database);
    q.Open("SELECT COUNT(*) FROM LF_NACHRICHTEN WHERE DIRAVID_STATUS=1");
    EXPECT_EQ(q.Fields(0).AsString(), "2");
}

// These tests stop and restart a server of their own.
class ServiceDatabaseRestartTest : public ServiceDatabaseTest {
protected:
    void SetUp() override {
        ServiceDatabaseTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        Server = std::make_unique<testing::TPrivateDbServer>();
        MakeDatabase({.Old = true, .Demo = true, .LFPath = "/srv/a"}, &Server->Info());
        OpenService();
        TakeLog();
    }

    void TearDown() override {
        ServiceDatabaseTest::TearDown();
        Db.reset();
        Server.reset();
    }

    std::unique_ptr<testing::TPrivateDbServer> Server;
};

// The first mail after the connection broke is filed: the broken connection
// is replaced before its first statement. A mail larger than the server
// takes never breaks it: its statement is not sent, and the mail fails for
// good (it would fail in every pass).
TEST_F(ServiceDatabaseRestartTest, NextMailAfterABrokenConnectionIsFiled) {
    TIniFile ini(Home / "diravid.ini");
    TMailEmpfangContext ctx{*Log, ini, Service->database, TSenderRules({"*"}), [this] { return Service->getLFPath(); },
                            Home, SystemClock()};
    const auto evaluate = [&](const std::string& body) {
        TMailMessage message;
        LoadMessageFromMemory(message, "From: hans@example.org\r\nTo: lage@example.org\r\nSubject: Pegel\r\n"
                                       "Content-Type: text/plain\r\n\r\n" + body + "\r\n");
        return AuswertenMail(ctx, message);
    };
    const TEntries reconnected = {{5, "Datenbankverbindung getrennt, versuche Wiederverbinden..."},
                                  {5, "Mit Datenbank verbunden."}};
    struct TCase {
        const char* Name;
        std::function<void()> Break;
        TEntries connectionLines;
    };
    const std::vector<TCase> cases = {
        {"server restarted between two mails", [this] { Server->Restart(); }, reconnected},
        {"mail larger than the server takes",
         [&] {
             // A small limit keeps the oversized mail small; it holds for
             // new connections.
             Db->Sql("SET GLOBAL max_allowed_packet = 1048576;");
             Service->database.Close();
             Service->database.Open();
             TakeLog();
             const TAuswertung big = evaluate(std::string((1u << 20) + 1000, 'x'));
             EXPECT_EQ(big.Ergebnis, TAuswertungsErgebnis::Fehlgeschlagen);
             EXPECT_TRUE(big.Dauerhaft);
             EXPECT_EQ(big.Grund, "Text der Mail ist mit 1049578 Bytes zu groß für den Datenbankserver "
                                  "(max_allowed_packet erlaubt 1048575 Bytes für eine Anweisung)");
             EXPECT_EQ(TakeLog(), (TEntries{{5, "Nachricht von hans@example.org Betreff Pegel wird ausgewertet."},
                                            {3, "Nachricht von hans@example.org Betreff Pegel konnte in keine Lage "
                                                "übernommen werden: " + big.Grund}}));
         },
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Db->Sql("DELETE FROM LF_NACHRICHTEN WHERE ADD_USER='DiraVid';");
        c.Break();
        const TAuswertung next = evaluate("Pegel steigt.");
        EXPECT_EQ(next.Ergebnis, TAuswertungsErgebnis::Abgelegt) << next.Grund;
        EXPECT_EQ(Single("SELECT COUNT(*) FROM LF_NACHRICHTEN WHERE ADD_USER='DiraVid'"), "1");
        TEntries connection;
        for (const auto& entry : TakeLog()) {
            if (entry.second.find("Datenbank") != std::string::npos) connection.push_back(entry);
        }
        EXPECT_EQ(connection, c.connectionLines);
    }
}

TEST_F(ServiceDatabaseRestartTest, FailedReconnectLeavesTheServiceRunning) {
    TDbQuery q(Service->database);
    Server->Stop();
    const EDbError e = ExpectRaises<EDbError>([&] { q.Open("SELECT 1"); });
    EXPECT_TRUE(e.NativeError() == 2002 || e.NativeError() == 2003) << e.what();
    EXPECT_EQ(TakeLog(), (TEntries{{5, "Datenbankverbindung getrennt, versuche Wiederverbinden..."}}));
    EXPECT_FALSE(Service->database.Connected());

    Server->Start();
    q.Open("SELECT 1");
    EXPECT_EQ(q.Fields(0).AsString(), "1");
    EXPECT_EQ(TakeLog(), (TEntries{{5, "Mit Datenbank verbunden."}}));
}

}  // namespace
}  // namespace kdv
