#pragma once
// A fresh fixture database and a connection to it, for the layer's tests.
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db/db_connection.h"
#include "db/db_error.h"
#include "db/db_query.h"
#include "support/db_test_server.h"
#include "support/expect_raises.h"

namespace kdv::testing {

inline void UseParams(TDbConnection& Connection, const std::vector<std::string>& Lines) {
    Connection.Params.Clear();
    for (const auto& line : Lines) Connection.Params.Add(line);
}

class DbTest : public ::testing::Test {
protected:
    void SetUp() override {
        KDV_REQUIRE_DB_SERVER();
        Db.emplace(CurrentTestName());
        UseParams(Conn, Db->ConnectionParams());
    }

    std::optional<TTestDatabase> Db;
    TDbConnection Conn;
};

}  // namespace kdv::testing
