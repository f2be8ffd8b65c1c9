#pragma once
// The service's one database connection: its parameters from [Database],
// the schema bootstrap after every connect (the two DIRAVID_STATUS columns
// and DIRAVID_MAIL),
// the cached attachment folder, and the reconnect after every disconnect.
#include <filesystem>
#include <functional>
#include <string>

#include "db/db_connection.h"
#include "log/log_file.h"
#include "platform/ini_file.h"

namespace kdv {

// Ends the attachment folder. Stored attachment paths keep the backslash on
// every platform, because the application's Windows programs read them; the
// service maps them to local paths only for its own file access.
inline constexpr char kLFPathDelimiter = '\\';

class TServiceDatabase {
public:
    // Log may return nullptr (no log yet, or already released): nothing is
    // logged then.
    explicit TServiceDatabase(std::function<TLogFile*()> Log);
    // Silent: no log line and no reconnect while the connection goes.
    ~TServiceDatabase();
    TServiceDatabase(const TServiceDatabase&) = delete;
    TServiceDatabase& operator=(const TServiceDatabase&) = delete;

    // AfterConnect and AfterDisconnect call the handlers below.
    TDbConnection database;

    // Sets the parameters from [Database] (Database, Hostname, User,
    // Passwort, and Port when present) and the connect, read and write
    // time-outs from [Verbindung] Zeitlimit, and opens the connection, which
    // runs databaseAfterConnect. Raises the connect's or the handler's error.
    void Open(const TIniFile& Ini);

    // The attachment folder (option LF_NR_PATH) followed by kLFPathDelimiter.
    // Kept for the life of the process once its folder exists; until then
    // the option is read again at every call, and the call raises EDiraError
    // naming the cause when the option is missing or empty or its folder does
    // not exist (a share that is not mounted). Raises the database's error
    // when the option cannot be read.
    std::string getLFPath();

    // The local path of a stored folder, for the existence check of
    // getLFPath; unset: the stored folder with "/" for "\".
    std::function<std::filesystem::path(const std::string& Stored)> LocalFolder;

    // After every connect: log, add the status column to each table that
    // lacks it and DIRAVID_MAIL, say once what is lost while DIRAVID_MAIL is
    // missing, warn when no attachment folder is configured. A connection
    // lost on the way fails the connect.
    void databaseAfterConnect();
    // After every disconnect: log and connect again; a failed reconnect
    // raises into the statement that lost the connection.
    void databaseAfterDisconnect();

    // From now on the handlers write nothing and do not reconnect.
    void Silence();

    // Whether the journal had the column DIRAVID_MAIL after the last
    // connect's bootstrap (true before the first connect). Without it mails
    // are filed unmarked: the start names what is lost in one level-5 line.
    bool HasMailColumn() const { return FMailColumn; }
    // Whether the journal had the column DIRAVID_STATUS after the last
    // connect's bootstrap (true before the first connect).
    bool HasStatusColumn() const { return FStatusColumn; }

private:
    void Log(int Level, const std::string& Text);
    // WERT of the option LF_NR_PATH; empty for no row or NULL.
    std::string ReadLFPathOption();
    // Checks each status table and completes what is missing, on a
    // connection of its own without statement time-outs. Failures of the
    // schema statements are logged, not raised.
    void AddStatusColumns();

    std::function<TLogFile*()> FLog;
    std::string FLFPath;
    bool FSilent = false;
    bool FInAfterConnect = false;
    bool FMailColumn = true;
    bool FStatusColumn = true;
    // The line about the missing column is written once while it is missing.
    bool FMailColumnNoticed = false;
};

}  // namespace kdv
