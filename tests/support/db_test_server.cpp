#include "support/db_test_server.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "db/db_connection.h"
#include "db/db_error.h"
#include "db/db_query.h"
#include "support/test_files.h"
#include "support/test_process.h"
#include "support/test_shell.h"

namespace kdv::testing {
namespace {

// Database names may hold at most 64 characters; the prefix is cut to leave
// room for the process id and the counter.
constexpr std::size_t kMaxPrefixChars = 36;

std::string Env(const char* Name) {
    const char* v = std::getenv(Name);
    return v != nullptr ? v : "";
}

// A private server's folder, where the sandbox script reaches it.
std::filesystem::path ServerFolder() {
    static std::atomic<unsigned> counter{0};
    return SandboxParentFolder() /
           ("diravid-db-" + std::to_string(CurrentProcessId()) + "-" + std::to_string(counter++));
}

std::string DefaultScript() {
    const std::string fromEnv = Env("DIRAVID_TEST_DB_SCRIPT");
    return fromEnv.empty() ? std::string(DIRAVID_SOURCE_DIR) + "/scripts/mariadb-sandbox.sh" : fromEnv;
}

// The incident tables come from the same files the sandbox script's fixture
// command reads, so a test database and a ./run.sh database never differ.
std::string SchemaFile(const char* Name) {
    const auto path = std::filesystem::path(DIRAVID_SOURCE_DIR) / "scripts" / "schema" / Name;
    if (!std::filesystem::is_regular_file(path)) throw std::runtime_error("schema file missing: " + path.string());
    return ReadFile(path);
}

// Where private servers copy their installed data folder from: made once
// per test run below the shared server's folder (test.sh removes it), or
// once per user in the temporary folder when there is no shared server.
std::string TemplateDir() {
    if (const TDbServerInfo* shared = SharedDbServer(); shared != nullptr && !shared->Sandbox.empty()) {
        return shared->Sandbox + "/template";
    }
    return ShellPath(SandboxParentFolder() / ("diravid-db-template-" + CurrentUserTag()));
}

std::vector<std::string> ServerParams(const TDbServerInfo& Server, const std::string& Database) {
    std::vector<std::string> params{"DriverID=MySQL",
                                    "Server=" + Server.Host,
                                    "Port=" + std::to_string(Server.Port),
                                    "User_Name=" + Server.User,
                                    "Password=" + Server.Password,
                                    "LoginTimeout=10"};
    if (!Database.empty()) params.push_back("Database=" + Database);
    return params;
}

// A connection of its own for each call: a test that kills sessions or
// restarts the server never meets one left open by this helper.
void OpenAs(TDbConnection& Connection, const TDbServerInfo& Server, const std::string& Database) {
    for (const auto& line : ServerParams(Server, Database)) Connection.Params.Add(line);
    Connection.Open();
}

// The layer's error as the helper's, with the text that failed.
[[noreturn]] void Fail(const EDbError& Error, const std::string& Text) {
    throw std::runtime_error(std::string("SQL failed: ") + Error.what() + "\n" + Text);
}

// Reads DIR/env as written by the sandbox script.
TDbServerInfo ReadEnvFile(const std::string& Dir) {
    TDbServerInfo info;
    std::istringstream words(ReadFile(std::filesystem::path(Dir) / "env"));
    std::string word;
    while (words >> word) {
        const auto eq = word.find('=');
        if (eq == std::string::npos) continue;
        const std::string name = word.substr(0, eq), value = word.substr(eq + 1);
        if (name == "DIRAVID_TEST_DB_HOST") info.Host = value;
        if (name == "DIRAVID_TEST_DB_PORT") info.Port = static_cast<unsigned>(std::stoul(value));
        if (name == "DIRAVID_TEST_DB_USER") info.User = value;
        if (name == "DIRAVID_TEST_DB_PASSWORD") info.Password = value;
        if (name == "DIRAVID_TEST_DB_SANDBOX") info.Sandbox = value;
        if (name == "DIRAVID_TEST_DB_SCRIPT") info.Script = value;
    }
    return info;
}

std::string RunOrThrow(const TDbServerInfo& Server, const std::vector<std::string>& Args, const std::string& Input) {
    std::string output;
    if (RunSandboxScript(Server.Script, Args, Input, output) != 0) {
        std::string command;
        for (const auto& a : Args) command += " " + a;
        throw std::runtime_error("mariadb-sandbox.sh" + command + " failed: " + output);
    }
    return output;
}

}  // namespace

int RunSandboxScript(const std::string& Script, const std::vector<std::string>& Args, const std::string& Input,
                     std::string& Output) {
    std::string command = ShellQuote(Script);
    for (const auto& arg : Args) command += " " + ShellQuote(arg);
    return RunShellCommand(command + " 2>&1", Input, Output);
}

const TDbServerInfo* SharedDbServer() {
    static const TDbServerInfo* server = []() -> const TDbServerInfo* {
        if (Env("DIRAVID_TEST_DB_HOST").empty() || Env("DIRAVID_TEST_DB_PORT").empty() ||
            Env("DIRAVID_TEST_DB_SANDBOX").empty()) {
            return nullptr;
        }
        static TDbServerInfo info;
        info.Host = Env("DIRAVID_TEST_DB_HOST");
        info.Port = static_cast<unsigned>(std::stoul(Env("DIRAVID_TEST_DB_PORT")));
        info.User = Env("DIRAVID_TEST_DB_USER");
        info.Password = Env("DIRAVID_TEST_DB_PASSWORD");
        info.Sandbox = Env("DIRAVID_TEST_DB_SANDBOX");
        info.Script = DefaultScript();
        return &info;
    }();
    return server;
}

bool DbServerRequired() {
    return Env("DIRAVID_REQUIRE_DB") == "1";
}

std::string CurrentTestName() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info->test_suite_name()) + "_" + info->name();
}

TTestDatabase::TTestDatabase(std::string_view Prefix, const TFixtureOptions& Options, const TDbServerInfo* Server) {
    if (Server == nullptr) Server = SharedDbServer();
    if (Server == nullptr) throw std::runtime_error("no test database server");
    FServer = *Server;
    static std::atomic<unsigned> counter{0};
    std::string prefix;
    for (char c : Prefix) {
        if (prefix.size() >= kMaxPrefixChars) break;
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        prefix += plain ? c : '_';
    }
    FName = "t_" + prefix + "_" + std::to_string(CurrentProcessId()) + "_" + std::to_string(counter++);
    std::string schema = "DROP DATABASE IF EXISTS `" + FName + "`;\nCREATE DATABASE `" + FName +
                         "` CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci;\nUSE `" + FName + "`;\n" +
                         SchemaFile("incident_tables.sql");
    if (!Options.Old) schema += SchemaFile("diravid_status_columns.sql");
    if (Options.Demo) schema += SchemaFile("demo_incident.sql");
    try {
        TDbConnection connection;
        OpenAs(connection, FServer, "");
        TDbQuery query(connection);
        query.ExecSQL(schema);
        if (Options.Demo) {
            // A parameter: a Windows folder's backslashes reach the table unchanged.
            query.SetSQL("INSERT INTO OPTIONEN (NAME, WERT) VALUES ('LF_NR_PATH', :Folder)");
            query.ParamByName("Folder").SetAsString(Options.LFPath);
            query.ExecSQL();
        }
    } catch (const EDbError& e) {
        Fail(e, schema);
    }
}

TTestDatabase::~TTestDatabase() {
    try {
        TDbConnection connection;
        OpenAs(connection, FServer, "");
        TDbQuery(connection).ExecSQL("DROP DATABASE IF EXISTS `" + FName + "`");
    } catch (const std::exception&) {
        // A server the test stopped for good takes its databases with it.
    }
}

std::vector<std::string> TTestDatabase::ConnectionParams() const {
    return {"DriverID=MySQL",
            "Server=" + FServer.Host,
            "Port=" + std::to_string(FServer.Port),
            "Database=" + FName,
            "User_Name=" + FServer.User,
            "Password=" + FServer.Password};
}

void TTestDatabase::Sql(const std::string& Statements) const {
    try {
        TDbConnection connection;
        OpenAs(connection, FServer, FName);
        TDbQuery(connection).ExecSQL(Statements);
    } catch (const EDbError& e) {
        Fail(e, Statements);
    }
}

std::vector<std::string> TTestDatabase::Rows(const std::string& Query) const {
    std::vector<std::string> rows;
    try {
        TDbConnection connection;
        OpenAs(connection, FServer, FName);
        TDbQuery query(connection);
        for (query.Open(Query); !query.Eof(); query.Next()) {
            std::string row;
            for (std::size_t i = 0; i < query.FieldCount(); ++i) {
                if (i > 0) row += '\t';
                row += query.Fields(i).IsNull() ? "NULL" : query.Fields(i).AsString();
            }
            rows.push_back(row);
        }
    } catch (const EDbError& e) {
        Fail(e, Query);
    }
    return rows;
}

TPrivateDbServer::TPrivateDbServer() {
    FDir = ServerFolder().string();
    FInfo.Script = DefaultScript();
    Start();
}

TPrivateDbServer::~TPrivateDbServer() {
    std::string ignored;
    RunSandboxScript(FInfo.Script, {"stop", ShellPath(FDir)}, "", ignored);
    std::error_code error;
    std::filesystem::remove_all(FDir, error);
}

void TPrivateDbServer::Start() {
    TDbServerInfo script;
    script.Script = FInfo.Script;
    // The first start copies the installed data folder; later ones keep theirs.
    RunOrThrow(script, {"start", ShellPath(FDir), "--from", TemplateDir()}, "");
    FInfo = ReadEnvFile(FDir);
    if (FInfo.Script.empty()) FInfo.Script = script.Script;
}

void TPrivateDbServer::Stop() {
    RunOrThrow(FInfo, {"stop", ShellPath(FDir)}, "");
}

void TPrivateDbServer::Restart() {
    RunOrThrow(FInfo, {"restart", ShellPath(FDir)}, "");
}

}  // namespace kdv::testing
