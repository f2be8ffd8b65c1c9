#pragma once
// The MySQL / MariaDB client library, loaded at run time. Only the types and
// constants of its header are compiled in; every call goes through the entry
// points found in the library that was loaded.
#include <mysql.h>

#include <string>
#include <vector>

namespace kdv {

// Client libraries from 5.0 on know the 4.1 protocol and multiple results.
inline constexpr unsigned long kMultiResultClientVersion = 50000;

struct TMySqlClientApi {
    std::string LibraryName;
    bool MariaDbConnector = false;
    decltype(&mysql_server_init) server_init;
    decltype(&mysql_init) init;
    decltype(&mysql_options) options;
    decltype(&mysql_real_connect) real_connect;
    decltype(&mysql_close) close;
    decltype(&mysql_real_query) real_query;
    decltype(&mysql_store_result) store_result;
    decltype(&mysql_free_result) free_result;
    decltype(&mysql_fetch_row) fetch_row;
    decltype(&mysql_fetch_lengths) fetch_lengths;
    decltype(&mysql_num_fields) num_fields;
    decltype(&mysql_num_rows) num_rows;
    decltype(&mysql_fetch_fields) fetch_fields;
    decltype(&mysql_data_seek) data_seek;
    decltype(&mysql_field_count) field_count;
    decltype(&mysql_affected_rows) affected_rows;
    decltype(&mysql_next_result) next_result;
    decltype(&mysql_errno) error_number;
    decltype(&mysql_error) error;
    decltype(&mysql_real_escape_string) real_escape_string;
    decltype(&mysql_set_character_set) set_character_set;
    decltype(&mysql_get_server_version) get_server_version;
    decltype(&mysql_get_client_version) get_client_version;
    // Optional: newer client libraries dropped it; TLS is then unavailable.
    decltype(&mysql_ssl_set) ssl_set;
    // Optional (MariaDB Connector/C): without it a connection closed by the
    // server while idle is noticed only by the statement that fails on it.
    decltype(&mysql_get_socket) get_socket;

    // Whether the library speaks the 4.1 protocol with multiple statements
    // and results (MySQL client 5.0 or later, or MariaDB Connector/C).
    bool ModernProtocol() const { return MariaDbConnector || get_client_version() >= kMultiResultClientVersion; }
};

// The names tried, in this order, when no vendor library is configured.
const std::vector<std::string>& DefaultMySqlClientNames();

// The client library for `vendor_lib` (empty: the first of the default names
// that loads), loaded and initialised on first use and kept for the life of
// the process. Thread-safe.
// Raises EDbError 314 when no candidate loads (the names, and each system
// load error ended by a line break) and 315 when the library lacks entry
// points (their names).
const TMySqlClientApi& LoadMySqlClient(const std::string& vendor_lib);

// The same for an explicit list of candidates, not cached; for checks of
// the load errors.
TMySqlClientApi LoadMySqlClientFrom(const std::vector<std::string>& names);

}  // namespace kdv
