#pragma once
// One connection to a MySQL or MariaDB server, configured by name=value
// parameter lines (see db_connection_params.h) and used by TDbQuery objects.
//
// Contract:
//  - SetConnected(true) on a closed connection: BeforeConnect, load the
//    client library (first time only), connect, refuse servers older than
//    3.20, apply CharacterSet, "SET SQL_AUTO_IS_NULL = 0", read
//    lower_case_table_names and max_allowed_packet, then AfterConnect; all
//    synchronous, in this order. A failure before AfterConnect leaves the
//    connection closed; an error raised by AfterConnect leaves it open and
//    propagates. On an open connection nothing happens.
//  - SetConnected(false) on an open connection: BeforeDisconnect, every open
//    query on it is closed, the physical connection is closed, then
//    AfterDisconnect. On a closed connection nothing happens, no event fires.
//  - A query used on a closed connection opens it first (with the events).
//    A lost connection is never reopened behind the caller's back.
//  - Before a statement is sent, a connection that the server closed while
//    it was idle (a restart, a killed session, an oversized statement the
//    server answered by closing) is treated as lost: the events fire as
//    below, and the statement then runs on the new connection (from the
//    AfterDisconnect handler or the automatic connect). It was never sent,
//    so this runs nothing twice.
//  - Lost connection: when a statement fails because the server connection
//    is gone, the connection is closed and marked lost, BeforeDisconnect and
//    AfterDisconnect fire inside the failing call (AfterDisconnect may
//    reconnect), and then the statement's own error is raised, or the
//    handler's error when the handler raised one. The statement is not
//    repeated.
//  - Destroying the connection closes it without any event.
//  - One thread at a time uses a connection and its queries.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "db/db_connection_params.h"
#include "db/mysql_client_api.h"

namespace kdv {

class TDbQuery;

class TDbConnection {
public:
    using TEvent = std::function<void()>;

    TDbConnection();
    ~TDbConnection();
    TDbConnection(const TDbConnection&) = delete;
    TDbConnection& operator=(const TDbConnection&) = delete;

    TDbConnectionParams Params;

    TEvent BeforeConnect;
    TEvent AfterConnect;
    TEvent BeforeDisconnect;
    TEvent AfterDisconnect;

    bool Connected() const { return connected_; }
    void SetConnected(bool value);
    void Open() { SetConnected(true); }
    void Close() { SetConnected(false); }

    // True after the server connection was found gone, until the next connect.
    bool Lost() const { return lost_; }
    // How the server compares table names: 0 case-sensitive, 1 stored in
    // lower case, 2 case-insensitive; -1 before the first connect.
    int LowerCaseTableNames() const { return lower_case_table_names_; }
    // The largest statement the server takes, in bytes (its
    // max_allowed_packet less the command byte); 0 before the first connect.
    // A longer statement is refused with EDbError 316 before it is sent:
    // the server would close the connection on it.
    std::uint64_t MaxStatementBytes() const { return max_statement_bytes_; }
    // Bytes a string value takes in a statement at most, with the room the
    // escaping needs while it works.
    static std::size_t QuotedSize(const std::string& value);
    // The server's version as major*10000 + minor*100 + patch; 0 when closed.
    unsigned long ServerVersion() const;

private:
    friend class TDbQuery;

    struct TRunResult {
        MYSQL_RES* Result = nullptr;  // set when the statement returned rows
        std::uint64_t AffectedRows = 0;
    };

    void Connect();
    void Disconnect();
    // Marks the connection lost, with its events, when the server closed it
    // while it was idle.
    void DropIfClosedByServer();
    void CloseHandle();
    // Runs one statement text and collects every result it produces; the
    // first result set is handed to the caller, later ones are discarded.
    TRunResult Run(const std::string& text);
    [[noreturn]] void FailStatement(const std::string& text);
    // Appends `value` as a string literal of the connection's character set.
    void AppendQuoted(std::string& out, const std::string& value) const;
    const TMySqlClientApi& Api() const { return *api_; }

    void Attach(TDbQuery* query);
    void Detach(TDbQuery* query);

    const TMySqlClientApi* api_ = nullptr;
    MYSQL* handle_ = nullptr;
    bool connected_ = false;
    bool lost_ = false;
    int lower_case_table_names_ = -1;
    std::uint64_t max_statement_bytes_ = 0;
    std::vector<TDbQuery*> queries_;
};

}  // namespace kdv
