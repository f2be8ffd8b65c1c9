#pragma once
// The MariaDB server for tests that need one. test.sh starts a throwaway
// server with scripts/mariadb-sandbox.sh and exports DIRAVID_TEST_DB_*; a
// test without them is skipped, or fails when DIRAVID_REQUIRE_DB=1.
//
//   class MyTest : public ::testing::Test {
//   protected:
//       void SetUp() override { KDV_REQUIRE_DB_SERVER(); db.emplace("MyTest"); }
//       std::optional<kdv::testing::TTestDatabase> db;
//   };
//
// Every TTestDatabase is a database of its own (test name, process id and a
// counter in its name), made from the files in scripts/schema through the
// connection layer and dropped again, so test programs running side by side
// never meet. Tests that stop or restart a server use a TPrivateDbServer,
// never the shared one; all of them start from one installed data folder.
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace kdv::testing {

struct TDbServerInfo {
    std::string Host;
    unsigned Port = 0;
    std::string User;
    std::string Password;
    std::string Sandbox;  // the server's folder
    std::string Script;   // absolute path of mariadb-sandbox.sh
};

// The shared server from the environment, or nullptr when there is none.
const TDbServerInfo* SharedDbServer();
// True when DIRAVID_REQUIRE_DB=1: a missing server is then a failure.
bool DbServerRequired();

// Skips the test (or fails it under DIRAVID_REQUIRE_DB=1) when no server is
// available; use in SetUp or at the start of a test body.
#define KDV_REQUIRE_DB_SERVER()                                                                  \
    do {                                                                                         \
        if (::kdv::testing::SharedDbServer() == nullptr) {                                          \
            if (::kdv::testing::DbServerRequired()) {                                               \
                FAIL() << "DIRAVID_REQUIRE_DB=1 but DIRAVID_TEST_DB_* are not set";               \
            }                                                                                    \
            GTEST_SKIP() << "no test database server (run ./test.sh or source the sandbox env)";  \
        }                                                                                        \
    } while (0)

struct TFixtureOptions {
    bool Old = false;     // without the service's own columns (DIRAVID_STATUS, DIRAVID_MAIL)
    bool Demo = false;    // one active incident and the LF_NR_PATH option
    std::string LFPath;   // value of LF_NR_PATH with Demo
};

// "Suite_Case" of the running test: a database prefix that tells whose
// database a leftover is.
std::string CurrentTestName();

class TTestDatabase {
public:
    // Creates a fresh database on Server (the shared one by default).
    explicit TTestDatabase(std::string_view Prefix, const TFixtureOptions& Options = {},
                           const TDbServerInfo* Server = nullptr);
    ~TTestDatabase();
    TTestDatabase(const TTestDatabase&) = delete;
    TTestDatabase& operator=(const TTestDatabase&) = delete;

    const std::string& Name() const { return FName; }
    const TDbServerInfo& Server() const { return FServer; }

    // "DriverID=MySQL", "Server=", "Port=", "Database=", "User_Name=",
    // "Password=" for this database.
    std::vector<std::string> ConnectionParams() const;

    // Runs statements (several in one text) as root in this database, on a
    // connection of their own; raises std::runtime_error with the server's
    // message when one fails. The text goes through the layer's statement
    // pass: ":name" outside literals, "!name" and "&name" anywhere are
    // markers there.
    void Sql(const std::string& Statements) const;
    // Runs one query and returns its rows, each row's values as the layer
    // reads them joined by TAB (NULL reads "NULL").
    std::vector<std::string> Rows(const std::string& Query) const;

private:
    TDbServerInfo FServer;
    std::string FName;
};

// A throwaway server of the test's own, for tests that stop or restart it.
// Its data folder is a copy of one installed once per test run (under a file
// lock, as test programs run side by side), which saves the installation.
class TPrivateDbServer {
public:
    TPrivateDbServer();  // starts it; raises std::runtime_error when that fails
    ~TPrivateDbServer();
    TPrivateDbServer(const TPrivateDbServer&) = delete;
    TPrivateDbServer& operator=(const TPrivateDbServer&) = delete;

    const TDbServerInfo& Info() const { return FInfo; }
    void Stop();
    void Start();     // same port, same data
    void Restart();

private:
    std::string FDir;
    TDbServerInfo FInfo;
};

// Runs the sandbox script with the arguments and standard input; returns its
// exit status and puts its standard output into Output.
int RunSandboxScript(const std::string& Script, const std::vector<std::string>& Args, const std::string& Input,
                     std::string& Output);

}  // namespace kdv::testing
