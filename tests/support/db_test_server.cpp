#include "support/db_test_server.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kdv::test {
namespace {

// Database names may hold at most 64 characters; the prefix is cut to leave
// room for the process id and the counter.
constexpr std::size_t kMaxPrefixChars = 36;

std::string Env(const char* Name) {
    const char* v = std::getenv(Name);
    return v != nullptr ? v : "";
}

std::string ShellQuote(const std::string& Text) {
    std::string out = "'";
    for (char c : Text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

std::string ReadFile(const std::filesystem::path& Path) {
    std::ifstream in(Path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::filesystem::path TempFile(const char* Tag) {
    static std::atomic<unsigned> counter{0};
    return std::filesystem::temp_directory_path() /
           ("diravid-" + std::string(Tag) + "-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
}

std::string DefaultScript() {
    const std::string fromEnv = Env("DIRAVID_TEST_DB_SCRIPT");
    return fromEnv.empty() ? std::string(DIRAVID_SOURCE_DIR) + "/scripts/mariadb-sandbox.sh" : fromEnv;
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
    const auto in = TempFile("in");
    const auto out = TempFile("out");
    std::ofstream(in, std::ios::binary) << Input;
    std::string command = ShellQuote(Script);
    for (const auto& arg : Args) command += " " + ShellQuote(arg);
    command += " <" + ShellQuote(in.string()) + " >" + ShellQuote(out.string()) + " 2>&1";
    const int status = std::system(command.c_str());
    Output = ReadFile(out);
    std::error_code ignored;
    std::filesystem::remove(in, ignored);
    std::filesystem::remove(out, ignored);
    return status == 0 ? 0 : (status == -1 ? -1 : (WIFEXITED(status) ? WEXITSTATUS(status) : 128));
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
    FName = "t_" + prefix + "_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
    std::vector<std::string> args{"fixture", FServer.Sandbox, FName};
    if (Options.Old) args.push_back("--old");
    if (Options.Demo) {
        args.push_back("--demo");
        args.push_back(Options.LFPath);
    }
    RunOrThrow(FServer, args, "");
}

TTestDatabase::~TTestDatabase() {
    std::string ignored;
    RunSandboxScript(FServer.Script, {"drop", FServer.Sandbox, FName}, "", ignored);
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
    RunOrThrow(FServer, {"sql", FServer.Sandbox, FName}, Statements);
}

std::vector<std::string> TTestDatabase::Rows(const std::string& Query) const {
    const std::string output =
        RunOrThrow(FServer, {"sql", FServer.Sandbox, FName, "--batch", "--skip-column-names", "--raw"}, Query + ";\n");
    std::vector<std::string> rows;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) rows.push_back(line);
    return rows;
}

TPrivateDbServer::TPrivateDbServer() {
    FDir = TempFile("db").string();
    FInfo.Script = DefaultScript();
    Start();
}

TPrivateDbServer::~TPrivateDbServer() {
    std::string ignored;
    RunSandboxScript(FInfo.Script, {"stop", FDir}, "", ignored);
    std::error_code error;
    std::filesystem::remove_all(FDir, error);
}

void TPrivateDbServer::Start() {
    TDbServerInfo script;
    script.Script = FInfo.Script;
    RunOrThrow(script, {"start", FDir}, "");
    FInfo = ReadEnvFile(FDir);
    if (FInfo.Script.empty()) FInfo.Script = script.Script;
}

void TPrivateDbServer::Stop() {
    RunOrThrow(FInfo, {"stop", FDir}, "");
}

void TPrivateDbServer::Restart() {
    RunOrThrow(FInfo, {"restart", FDir}, "");
}

}  // namespace kdv::test
