#include "db/db_connection.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <mutex>

#include "db/db_error.h"
#include "db/db_query.h"
#include "platform/ascii_text.h"
#include "platform/socket_state.h"

namespace kdv {
namespace {

// Oldest server the layer talks to (3.20.0 as major*10000 + minor*100).
constexpr unsigned long kMinServerVersion = 32000;
constexpr unsigned int kDefaultPort = 3306;
constexpr unsigned int kMaxPort = 65535;
// Longest time-out accepted, in seconds (one day); more is a typing error.
constexpr unsigned int kMaxTimeoutSeconds = 86400;
// The character set every connection starts with, so that any text
// survives the way to the server and back.
constexpr const char* kDefaultCharacterSet = "utf8mb4";
constexpr int kErParseError = 1064;

// The library's connect routine is not safe to run on several threads at
// once; every connect of the process goes through this lock.
std::mutex& ConnectMutex() {
    static std::mutex mutex;
    return mutex;
}

bool ParamBool(const TDbConnectionParams& params, std::string_view name) {
    const std::string v = params.Value(name);
    return EqualsNoCase(v, "True") || EqualsNoCase(v, "Yes") || v == "1";
}

unsigned int ParamNumber(const TDbConnectionParams& params, std::string_view name, unsigned int lowest,
                         unsigned int highest) {
    const std::string v = params.Value(name);
    unsigned int value = 0;
    const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), value);
    if (v.empty() || ec != std::errc() || end != v.data() + v.size() || value < lowest || value > highest) {
        throw EDbError::Layer(db_code::kBadParameter,
                              "Ungültiger Wert [" + v + "] für Verbindungsparameter " + std::string(name));
    }
    return value;
}

// Where the server's syntax message says the failing part starts: the text
// after "near '" up to "' at line", found in the statement.
int SyntaxErrorOffset(const std::string& message, const std::string& text) {
    const std::string opener = "near '";
    const auto from = message.find(opener);
    const auto to = message.rfind("' at line");
    if (from == std::string::npos || to == std::string::npos || to < from + opener.size()) return -1;
    const std::string part = message.substr(from + opener.size(), to - from - opener.size());
    if (part.empty()) return static_cast<int>(text.size());
    const auto at = text.find(part);
    return at == std::string::npos ? -1 : static_cast<int>(at);
}

}  // namespace

TDbConnection::TDbConnection() : Params(&connected_) {}

TDbConnection::~TDbConnection() {
    for (TDbQuery* query : std::vector<TDbQuery*>(queries_)) query->DetachFromConnection();
    CloseHandle();
}

unsigned long TDbConnection::ServerVersion() const {
    return handle_ != nullptr ? Api().get_server_version(handle_) : 0;
}

void TDbConnection::SetConnected(bool value) {
    if (value == connected_) return;
    if (value) {
        Connect();
    } else {
        Disconnect();
    }
}

void TDbConnection::Connect() {
    if (BeforeConnect) BeforeConnect();
    api_ = &LoadMySqlClient(Params.Value("VendorLib"));
    const std::string driver = Params.Value("DriverID");
    if (!EqualsNoCase(driver, "MySQL")) {
        throw EDbError::Layer(db_code::kDriverId, driver.empty() ? "Treiber-ID ist nicht angegeben"
                                                                 : "Treiber-ID [" + driver + "] ist unbekannt");
    }
    const unsigned int port = Params.Has("Port") ? ParamNumber(Params, "Port", 1, kMaxPort) : kDefaultPort;

    MYSQL* handle = Api().init(nullptr);
    if (handle == nullptr) {
        throw EDbError::Layer(db_code::kNoConnection, "Verbindungsobjekt der Client-Bibliothek nicht verfügbar");
    }
    auto fail = [&](const std::string& text) -> EDbError {
        EDbError error(static_cast<int>(Api().error_number(handle)), text);
        Api().close(handle);
        return error;
    };
    try {
        const std::pair<const char*, mysql_option> timeouts[] = {{"LoginTimeout", MYSQL_OPT_CONNECT_TIMEOUT},
                                                                 {"ReadTimeout", MYSQL_OPT_READ_TIMEOUT},
                                                                 {"WriteTimeout", MYSQL_OPT_WRITE_TIMEOUT}};
        for (const auto& [name, option] : timeouts) {
            if (!Params.Has(name)) continue;
            const unsigned int seconds = ParamNumber(Params, name, 0, kMaxTimeoutSeconds);
            Api().options(handle, option, &seconds);
        }
    } catch (...) {
        Api().close(handle);
        throw;
    }
    const my_bool reconnect = 0;
    Api().options(handle, MYSQL_OPT_RECONNECT, &reconnect);
    Api().options(handle, MYSQL_SET_CHARSET_NAME, kDefaultCharacterSet);
    if (ParamBool(Params, "Compress")) Api().options(handle, MYSQL_OPT_COMPRESS, nullptr);
    if (ParamBool(Params, "UseSSL")) {
        if (Api().ssl_set == nullptr) {
            Api().close(handle);
            throw EDbError::Layer(db_code::kBadParameter, "UseSSL wird von der Client-Bibliothek nicht unterstützt");
        }
        Api().ssl_set(handle, nullptr, nullptr, nullptr, nullptr, nullptr);
    }

    const std::string server = Params.Value("Server");
    const std::string user = Params.Value("User_Name");
    const std::string password = Params.Value("Password");
    const std::string database = Params.Value("Database");
    unsigned long flags = CLIENT_FOUND_ROWS | CLIENT_LONG_FLAG;
    if (!database.empty()) flags |= CLIENT_CONNECT_WITH_DB;
    if (Api().ModernProtocol()) {
        flags |= CLIENT_PROTOCOL_41 | CLIENT_MULTI_STATEMENTS | CLIENT_MULTI_RESULTS;
    }
    bool connected;
    {
        std::lock_guard<std::mutex> lock(ConnectMutex());
        connected = Api().real_connect(handle, server.empty() ? nullptr : server.c_str(), user.c_str(),
                                       password.c_str(), database.empty() ? nullptr : database.c_str(), port,
                                       nullptr, flags) != nullptr;
    }
    if (!connected) throw fail(Api().error(handle));

    const unsigned long version = Api().get_server_version(handle);
    if (version < kMinServerVersion) {
        Api().close(handle);
        throw EDbError::Layer(db_code::kServerVersion, "Nicht unterstützte MySQL-Version [" + std::to_string(version) +
                                                           "]. Unterstützt werden Client und Server der Version 3.20");
    }
    const std::string charset = Params.Value("CharacterSet");
    if (!charset.empty() && Api().set_character_set(handle, charset.c_str()) != 0) throw fail(Api().error(handle));
    const std::string auto_is_null = "SET SQL_AUTO_IS_NULL = 0";
    if (Api().real_query(handle, auto_is_null.data(), auto_is_null.size()) != 0) throw fail(Api().error(handle));
    const auto variable = [&](const char* name) -> std::string {
        const std::string query = std::string("SHOW VARIABLES LIKE '") + name + "'";
        if (Api().real_query(handle, query.data(), query.size()) != 0) throw fail(Api().error(handle));
        MYSQL_RES* result = Api().store_result(handle);
        if (result == nullptr) throw fail(Api().error(handle));
        std::string value;
        if (MYSQL_ROW row = Api().fetch_row(result); row != nullptr && Api().num_fields(result) >= 2 && row[1] != nullptr) {
            value = row[1];
        }
        Api().free_result(result);
        return value;
    };
    const int lower_case = std::atoi(variable("lower_case_table_names").c_str());
    // Unknown (an old server) means no check: the server still has the last word.
    const std::uint64_t max_packet = std::strtoull(variable("max_allowed_packet").c_str(), nullptr, 10);

    handle_ = handle;
    connected_ = true;
    lost_ = false;
    lower_case_table_names_ = lower_case;
    max_statement_bytes_ = max_packet > 1 ? max_packet - 1 : 0;
    if (AfterConnect) AfterConnect();
}

void TDbConnection::Disconnect() {
    if (BeforeDisconnect) BeforeDisconnect();
    for (TDbQuery* query : std::vector<TDbQuery*>(queries_)) query->Close();
    CloseHandle();
    connected_ = false;
    if (AfterDisconnect) AfterDisconnect();
}

void TDbConnection::DropIfClosedByServer() {
    if (!connected_ || handle_ == nullptr || Api().get_socket == nullptr) return;
    if (!IdleSocketClosedByPeer(static_cast<std::intptr_t>(Api().get_socket(handle_)))) return;
    CloseHandle();
    lost_ = true;
    // The handler may reconnect; its failure reaches the caller.
    Disconnect();
}

void TDbConnection::CloseHandle() {
    if (handle_ != nullptr) {
        Api().close(handle_);
        handle_ = nullptr;
    }
}

TDbConnection::TRunResult TDbConnection::Run(const std::string& text) {
    TRunResult run;
    if (max_statement_bytes_ > 0 && text.size() > max_statement_bytes_) {
        throw EDbError::Layer(db_code::kStatementTooLarge,
                              "Anweisung mit " + std::to_string(text.size()) +
                                  " Bytes ist zu groß für den Datenbankserver (max_allowed_packet erlaubt " +
                                  std::to_string(max_statement_bytes_) + " Bytes)");
    }
    if (Api().real_query(handle_, text.data(), text.size()) != 0) FailStatement(text);
    if (Api().field_count(handle_) > 0) {
        run.Result = Api().store_result(handle_);
        if (run.Result == nullptr) FailStatement(text);
    } else {
        run.AffectedRows = Api().affected_rows(handle_);
    }
    // Several statements in one text give several results; all must be
    // collected before the connection takes the next statement.
    for (;;) {
        const int more = Api().next_result(handle_);
        if (more < 0) break;
        bool failed = more > 0;
        if (!failed && Api().field_count(handle_) > 0) {
            MYSQL_RES* extra = Api().store_result(handle_);
            failed = extra == nullptr;
            if (extra != nullptr) Api().free_result(extra);
        }
        if (failed) {
            if (run.Result != nullptr) Api().free_result(run.Result);
            FailStatement(text);
        }
    }
    return run;
}

void TDbConnection::FailStatement(const std::string& text) {
    const int number = static_cast<int>(Api().error_number(handle_));
    const std::string message = Api().error(handle_);
    EDbError error(number, message, number == kErParseError ? SyntaxErrorOffset(message, text) : -1);
    if (EDbError::IsServerGone(number) && connected_) {
        CloseHandle();
        lost_ = true;
        // Raises the reconnect's error instead when a handler's reconnect fails.
        Disconnect();
    }
    throw error;
}

namespace {

// Longest piece of a value handed to the client library's escaper at once:
// it writes up to twice the piece, and that room is taken from the statement.
constexpr std::size_t kEscapePiece = 64 * 1024;

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

// Where the piece of `value` that starts at `from` ends: at the next line end,
// or after about kEscapePiece bytes at a byte that stands alone in every
// client character set. Multi-byte characters of those sets carry at most
// one byte below 0x80, and never two in a row, so of two such bytes in a row
// the second is a character of its own.
std::size_t PieceEnd(const std::string& value, std::size_t from) {
    const std::size_t line_end = std::min(value.find_first_of("\r\n", from), value.size());
    if (line_end - from <= kEscapePiece) return line_end;
    for (std::size_t i = from + kEscapePiece; i < line_end; ++i) {
        if (static_cast<unsigned char>(value[i - 1]) < 0x80 && static_cast<unsigned char>(value[i]) < 0x80) {
            return i + 1;
        }
    }
    return line_end;
}

}  // namespace

std::size_t TDbConnection::QuotedSize(const std::string& value) {
    std::size_t size = 2 + 2 * kEscapePiece + 1;
    for (const char c : value) {
        const bool escaped = c == '\0' || c == '\\' || c == '\'' || c == '"' || c == '\x1a';
        size += escaped ? 2 : 1;
    }
    return size;
}

void TDbConnection::AppendQuoted(std::string& out, const std::string& value) const {
    // Line ends go into the literal as they stand: escaping them would double
    // the statement of a text made of many short lines. No client character
    // set has CR or LF inside a multi-byte character, so cutting there is safe.
    out += '\'';
    std::size_t from = 0;
    while (from < value.size()) {
        if (IsLineEnd(value[from])) {
            out += value[from++];
            continue;
        }
        const std::size_t to = PieceEnd(value, from);
        const std::size_t start = out.size();
        // The escaped form of n bytes needs at most 2n + 1 bytes.
        out.resize(start + 2 * (to - from) + 1);
        const unsigned long written = Api().real_escape_string(handle_, out.data() + start, value.data() + from,
                                                               static_cast<unsigned long>(to - from));
        out.resize(start + written);
        from = to;
    }
    out += '\'';
}

void TDbConnection::Attach(TDbQuery* query) {
    queries_.push_back(query);
}

void TDbConnection::Detach(TDbQuery* query) {
    queries_.erase(std::remove(queries_.begin(), queries_.end(), query), queries_.end());
}

}  // namespace kdv
