#include "service/service_database.h"

#include <system_error>

#include "db/db_query.h"
#include "mail/mail_message_parts.h"
#include "platform/attachment_path.h"
#include "platform/dira_error.h"

namespace kdv {
namespace {

constexpr int kLevelError = 3;
constexpr int kLevelNotice = 5;

// Used when the settings file has no [Database] Port.
constexpr int kNoPort = -1;

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
        TDbQuery query(database);
        bool columnsPresent = true;
        try {
            query.Open("SELECT DIRAVID_STATUS FROM LF_NACHRICHTEN LIMIT 1");
        } catch (const std::exception&) {
            columnsPresent = false;
        }
        query.Close();
        if (!columnsPresent) {
            Log(kLevelNotice, "Zusätzliche Felder in Datenbank werden angelegt.");
            try {
                query.ExecSQL("ALTER TABLE LF_NACHRICHTEN  ADD DIRAVID_STATUS INTEGER;");
                query.ExecSQL("UPDATE LF_NACHRICHTEN SET DIRAVID_STATUS=1");
                query.ExecSQL("ALTER TABLE LF_NACHRICHTEN_EMPF  ADD DIRAVID_STATUS INTEGER;");
                query.ExecSQL("UPDATE LF_NACHRICHTEN_EMPF SET DIRAVID_STATUS=1");
                Log(kLevelNotice, "Felder wurden angelegt.");
            } catch (const std::exception& e) {
                Log(kLevelError, std::string("Fehler beim Anlegend der Felder: ") + e.what());
            }
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
            "Für Anhänge ist kein Speicherort definiert. Ergänzen Sie dies bitte im Editor unter Einstellungen -> "
            "Speicheort Anhänge Lageführung.");
    }
    const std::filesystem::path local =
        LocalFolder ? LocalFolder(folder) : PathFromUtf8(MapStoredPath(folder, "", ""));
    std::error_code ec;
    if (!std::filesystem::is_directory(local, ec)) {
        const std::string localText = PathToUtf8(local);
        throw EDiraError("Der Speicherort für Anhänge " + folder +
                         (localText == MapStoredPath(folder, "", "") ? std::string() : " (" + localText + ")") +
                         " ist nicht vorhanden" +
                         (ec && ec != std::errc::no_such_file_or_directory ? ": " + ec.message() : std::string()) + ".");
    }
    FLFPath = folder;
    return FLFPath;
}

}  // namespace kdv
