#include "service/service_database.h"

#include <system_error>
#include <utility>
#include <vector>

#include "db/db_error.h"
#include "db/db_query.h"
#include "mail/mail_message_parts.h"
#include "platform/attachment_path.h"
#include "service/connection_time_limit.h"
#include "platform/dira_error.h"

namespace kdv {
namespace {

constexpr int kLevelError = 3;
constexpr int kLevelNotice = 5;

// Names what is lost while the journal lacks the column that marks a message
// with the raw mail it was filed from (a user without the right to ALTER).
constexpr const char* kMailColumnMissing =
    "Die Spalte DIRAVID_MAIL fehlt in LF_NACHRICHTEN; Mails werden ohne sie abgelegt. Damit erkennt --import eine "
    "schon abgelegte Datei nicht, und eine Mail, deren Ablage die Antwort des Datenbankservers verlor, kann in "
    "einer Lage doppelt abgelegt werden.";

// Used when the settings file has no [Database] Port.
constexpr int kNoPort = -1;

// The tables that get the status column; each is checked and completed on
// its own, so a bootstrap broken off after the first is finished later.
constexpr const char* kStatusTables[] = {"LF_NACHRICHTEN", "LF_NACHRICHTEN_EMPF"};

// The time-outs (as Open writes them) the bootstrap leaves out: adding the
// column to an old journal may take minutes.
constexpr const char* kStatementTimeouts[] = {"ReadTimeout", "WriteTimeout"};

enum class TStatusColumn { Present, Missing, DefaultLeft };

// Whether Table has the status column, and whether a bootstrap broken off
// between its two statements left the column's default of 1 behind (the
// application's new rows would then never be mailed). A failed probe counts
// as a missing column, unless it lost the connection.
TStatusColumn ProbeStatusColumn(TDbConnection& Database, const std::string& Table) {
    TDbQuery query(Database);
    try {
        query.Open("SHOW COLUMNS FROM " + Table + " LIKE 'DIRAVID_STATUS'");
    } catch (const EDbError& e) {
        if (e.ErrorKind() == TErrorKind::ekDbConnectionLost) throw;
        return TStatusColumn::Missing;
    }
    if (query.Eof()) return TStatusColumn::Missing;
    return query.FieldByName("Default").AsString() == "1" ? TStatusColumn::DefaultLeft : TStatusColumn::Present;
}

// Whether the journal has the column that names the raw mail a message was
// filed from. Probed like the status column.
bool ProbeMailColumn(TDbConnection& Database) {
    TDbQuery query(Database);
    try {
        query.Open("SHOW COLUMNS FROM LF_NACHRICHTEN LIKE 'DIRAVID_MAIL'");
    } catch (const EDbError& e) {
        if (e.ErrorKind() == TErrorKind::ekDbConnectionLost) throw;
        return false;
    }
    return !query.Eof();
}

}  // namespace

TServiceDatabase::TServiceDatabase(std::function<TLogFile*()> Log) : FLog(std::move(Log)) {
    database.AfterConnect = [this] {
        if (!FSilent) databaseAfterConnect();
    };
    database.AfterDisconnect = [this] {
        if (!FSilent) databaseAfterDisconnect();
    };
}

TServiceDatabase::~TServiceDatabase() {
    Silence();
}

void TServiceDatabase::Silence() {
    FSilent = true;
}

void TServiceDatabase::Log(int Level, const std::string& Text) {
    if (FSilent || !FLog) return;
    if (TLogFile* log = FLog()) log->Add(Level, Text);
}

void TServiceDatabase::Open(const TIniFile& Ini) {
    database.Params.Clear();
    database.Params.Add("DriverID=MySQL");
    database.Params.Add("Protocol=TCPIP");
    database.Params.Add("Database=" + Ini.ReadString("Database", "Database", "Orldb"));
    database.Params.Add("Server=" + Ini.ReadString("Database", "Hostname", "127.0.0.1"));
    database.Params.Add("User_Name=" + Ini.ReadString("Database", "User", "root"));
    database.Params.Add("Password=" + Ini.ReadString("Database", "Passwort", "Zuk"));
    // A server on another port than the default one.
    const std::string portText = Ini.ReadString("Database", "Port", "");
    if (!portText.empty()) {
        const int port = Ini.ReadInteger("Database", "Port", kNoPort);
        // A value that is no number goes on as written, so the connect names it.
        database.Params.Add("Port=" + (port == kNoPort ? portText : std::to_string(port)));
    }
    // A server that hangs must not stop the service.
    const std::string limit = std::to_string(ReadZeitlimit(Ini).count());
    database.Params.Add("LoginTimeout=" + limit);
    database.Params.Add("ReadTimeout=" + limit);
    database.Params.Add("WriteTimeout=" + limit);
    database.Open();
}

void TServiceDatabase::databaseAfterConnect() {
    Log(kLevelNotice, "Mit Datenbank verbunden.");
    // A connect made by a statement of this handler (after it lost the
    // connection) must not start the bootstrap again: a server that drops
    // every connection would otherwise recurse without end.
    if (FInAfterConnect) return;
    FInAfterConnect = true;
    try {
        AddStatusColumns();
        if (FMailColumn) {
            FMailColumnNoticed = false;
        } else if (!FMailColumnNoticed) {
            FMailColumnNoticed = true;
            Log(kLevelNotice, kMailColumnMissing);
        }
        if (FLFPath.empty() && ReadLFPathOption().empty()) {
            Log(kLevelError,
                "Achtung: Für Anhänge ist kein Speicherort definiert. Ergänzen Sie dies bitte im Editor unter "
                "Einstellungen -> Speicheort Anhänge Lageführung.");
        }
    } catch (...) {
        FInAfterConnect = false;
        throw;
    }
    FInAfterConnect = false;
}

void TServiceDatabase::AddStatusColumns() {
    std::vector<std::pair<std::string, TStatusColumn>> work;
    for (const char* table : kStatusTables) {
        const TStatusColumn state = ProbeStatusColumn(database, table);
        if (state != TStatusColumn::Present) work.emplace_back(table, state);
        if (std::string(table) == "LF_NACHRICHTEN") FStatusColumn = state != TStatusColumn::Missing;
    }
    const bool mailColumn = ProbeMailColumn(database);
    FMailColumn = mailColumn;
    if (work.empty() && mailColumn) return;
    Log(kLevelNotice, "Zusätzliche Felder in Datenbank werden angelegt.");
    try {
        // A connection of its own, without the statement time-outs.
        TDbConnection bootstrap;
        for (const std::string& line : database.Params.Lines()) {
            bool timeout = false;
            for (const char* name : kStatementTimeouts) timeout = timeout || line.rfind(std::string(name) + "=", 0) == 0;
            if (!timeout) bootstrap.Params.Add(line);
        }
        TDbQuery query(bootstrap);
        for (const auto& [table, state] : work) {
            // The default fills every existing row with 1 (handled) in the
            // same statement that adds the column, so no state exists in
            // which old rows are pending; new rows then get NULL (pending).
            if (state == TStatusColumn::Missing) {
                query.ExecSQL("ALTER TABLE " + table + "  ADD DIRAVID_STATUS INTEGER DEFAULT 1;");
                if (table == "LF_NACHRICHTEN") FStatusColumn = true;
            }
            query.ExecSQL("ALTER TABLE " + table + " ALTER DIRAVID_STATUS SET DEFAULT NULL");
        }
        // Column and index in one statement: a start broken off leaves
        // either both or neither, and the next connect adds what is missing.
        if (!mailColumn) {
            query.ExecSQL(
                "ALTER TABLE LF_NACHRICHTEN ADD DIRAVID_MAIL CHAR(64) NULL, ADD INDEX DIRAVID_MAIL_IDX (LAGE, "
                "DIRAVID_MAIL)");
            FMailColumn = true;
        }
        Log(kLevelNotice, "Felder wurden angelegt.");
    } catch (const std::exception& e) {
        Log(kLevelError, std::string("Fehler beim Anlegend der Felder: ") + e.what());
    }
}

void TServiceDatabase::databaseAfterDisconnect() {
    Log(kLevelNotice, "Datenbankverbindung getrennt, versuche Wiederverbinden...");
    database.Close();
    // Inside the bootstrap the connect that is running decides; its next
    // statement connects again by itself.
    if (FInAfterConnect) return;
    database.Open();
}

std::string TServiceDatabase::ReadLFPathOption() {
    TDbQuery query(database);
    query.Open("SELECT WERT FROM OPTIONEN WHERE NAME='LF_NR_PATH'");
    const std::string value = query.Eof() ? std::string() : query.Fields(0).AsString();
    query.Close();
    return value;
}

std::string TServiceDatabase::getLFPath() {
    if (!FLFPath.empty()) return FLFPath;
    // Not kept while unusable, so a value corrected in the application's
    // editor, or a share mounted again, counts without a restart.
    const std::string folder = ReadLFPathOption() + kLFPathDelimiter;
    if (folder.size() == 1) {
        throw EDiraError(
            TErrorKind::ekLocal,
            "Für Anhänge ist kein Speicherort definiert. Ergänzen Sie dies bitte im Editor unter Einstellungen -> "
            "Speicheort Anhänge Lageführung.");
    }
    const std::filesystem::path local =
        LocalFolder ? LocalFolder(folder) : PathFromUtf8(MapStoredPath(folder, "", ""));
    std::error_code ec;
    if (!std::filesystem::is_directory(local, ec)) {
        const std::string localText = PathToUtf8(local);
        throw EDiraError(TErrorKind::ekLocal, "Der Speicherort für Anhänge " + folder +
                         (localText == MapStoredPath(folder, "", "") ? std::string() : " (" + localText + ")") +
                         " ist nicht vorhanden" +
                         (ec && ec != std::errc::no_such_file_or_directory ? ": " + ec.message() : std::string()) + ".");
    }
    FLFPath = folder;
    return FLFPath;
}

}  // namespace kdv
