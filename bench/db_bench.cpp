// Measures what the database layer costs on top of the bare client library:
// (a) 10,000 parameterised INSERTs, (b) a SELECT of 100,000 rows read as
// text. Needs the server from DIRAVID_TEST_DB_* (scripts/mariadb-sandbox.sh).
#include <mysql.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <unistd.h>

#include "bench_env.h"
#include "db/db_connection.h"
#include "db/db_query.h"

namespace {

constexpr int kInserts = 10000;
constexpr int kSelectRows = 100000;
// Best of several runs: the machine is shared, the minimum is the cost.
constexpr int kRuns = 9;
// One SELECT takes some 30 ms, within the server's own jitter: each
// measurement reads the result this many times and reports one read.
constexpr int kSelectRepeats = 10;

struct TServer {
    std::string Host, User, Password, Database;
    unsigned Port = 0;
};

using kdv::bench::RequiredEnv;

std::string Text(int I) {
    return "Nachricht " + std::to_string(I) + " mit 'Anführung', Rückstrich \\ und Umlauten äöü";
}

MYSQL* Connect(const TServer& S, bool WithDatabase) {
    MYSQL* m = mysql_init(nullptr);
    mysql_options(m, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    if (mysql_real_connect(m, S.Host.c_str(), S.User.c_str(), S.Password.c_str(),
                           WithDatabase ? S.Database.c_str() : nullptr, S.Port, nullptr, 0) == nullptr) {
        throw std::runtime_error(mysql_error(m));
    }
    return m;
}

void Exec(MYSQL* M, const std::string& Sql) {
    if (mysql_real_query(M, Sql.data(), Sql.size()) != 0) throw std::runtime_error(mysql_error(M));
}

double Seconds(const std::function<void()>& Work) {
    const auto start = std::chrono::steady_clock::now();
    Work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void InsertsBare(MYSQL* m) {
    MYSQL_STMT* stmt = mysql_stmt_init(m);
    const std::string sql = "INSERT INTO BI (TXT, NUM) VALUES (?, ?)";
    if (mysql_stmt_prepare(stmt, sql.data(), sql.size()) != 0) throw std::runtime_error(mysql_stmt_error(stmt));
    for (int i = 0; i < kInserts; ++i) {
        std::string text = Text(i);
        unsigned long length = text.size();
        long long number = i;
        MYSQL_BIND bind[2] = {};
        bind[0].buffer_type = MYSQL_TYPE_STRING;
        bind[0].buffer = text.data();
        bind[0].buffer_length = length;
        bind[0].length = &length;
        bind[1].buffer_type = MYSQL_TYPE_LONGLONG;
        bind[1].buffer = &number;
        if (mysql_stmt_bind_param(stmt, bind) != 0 || mysql_stmt_execute(stmt) != 0) {
            throw std::runtime_error(mysql_stmt_error(stmt));
        }
    }
    mysql_stmt_close(stmt);
}

void InsertsLayer(kdv::TDbConnection& Conn) {
    kdv::TDbQuery q(Conn);
    q.SetSQL("INSERT INTO BI (TXT, NUM) VALUES (:txt, :num)");
    for (int i = 0; i < kInserts; ++i) {
        q.ParamByName("txt").SetAsString(Text(i));
        q.ParamByName("num").SetAsInteger(i);
        q.ExecSQL();
    }
}

std::size_t SelectBare(MYSQL* m) {
    Exec(m, "SELECT ID, TXT, NUM, T FROM BS ORDER BY ID");
    MYSQL_RES* res = mysql_store_result(m);
    const unsigned fields = mysql_num_fields(res);
    std::size_t bytes = 0;
    while (MYSQL_ROW row = mysql_fetch_row(res)) {
        const unsigned long* lengths = mysql_fetch_lengths(res);
        for (unsigned i = 0; i < fields; ++i) {
            const std::string value = row[i] != nullptr ? std::string(row[i], lengths[i]) : std::string();
            bytes += value.size();
        }
    }
    mysql_free_result(res);
    return bytes;
}

std::size_t SelectLayer(kdv::TDbConnection& Conn) {
    kdv::TDbQuery q(Conn);
    q.Open("SELECT ID, TXT, NUM, T FROM BS ORDER BY ID");
    const std::size_t fields = q.FieldCount();
    std::size_t bytes = 0;
    while (!q.Eof()) {
        for (std::size_t i = 0; i < fields; ++i) bytes += q.Fields(i).AsString().size();
        q.Next();
    }
    return bytes;
}

void Report(const char* Name, double Layer, double Bare) {
    std::printf("%-44s layer %8.3f s   C API %8.3f s   ratio %.3f\n", Name, Layer, Bare, Layer / Bare);
}

}  // namespace

int main() {
    try {
        TServer s{RequiredEnv("DIRAVID_TEST_DB_HOST"), RequiredEnv("DIRAVID_TEST_DB_USER"),
                  RequiredEnv("DIRAVID_TEST_DB_PASSWORD"), "bench_" + std::to_string(getpid()),
                  static_cast<unsigned>(std::stoul(RequiredEnv("DIRAVID_TEST_DB_PORT")))};
        mysql_library_init(0, nullptr, nullptr);
        MYSQL* admin = Connect(s, false);
        Exec(admin, "CREATE DATABASE " + s.Database + " CHARACTER SET utf8mb4");
        Exec(admin, "USE " + s.Database);
        Exec(admin, "CREATE TABLE BI (ID INTEGER AUTO_INCREMENT PRIMARY KEY, TXT VARCHAR(200), NUM INTEGER)");
        Exec(admin, "CREATE TABLE BS (ID INTEGER PRIMARY KEY, TXT VARCHAR(200), NUM INTEGER, T DATETIME)");
        Exec(admin, "INSERT INTO BS SELECT seq, CONCAT('Zeile ', seq, ' mit etwas Text, äöü'), seq * 7, "
                    "TIMESTAMP '2024-01-29 14:05:09' + INTERVAL seq SECOND FROM seq_1_to_" +
                        std::to_string(kSelectRows));

        kdv::TDbConnection conn;
        for (const std::string& line : {std::string("DriverID=MySQL"), "Server=" + s.Host, "Port=" + std::to_string(s.Port),
                                       "Database=" + s.Database, "User_Name=" + s.User, "Password=" + s.Password}) {
            conn.Params.Add(line);
        }
        conn.Open();
        MYSQL* bare = Connect(s, true);

        double insertLayer = 1e9, insertBare = 1e9, selectLayer = 1e9, selectBare = 1e9;
        std::size_t bytesLayer = 0, bytesBare = 0;
        // The order alternates so that neither side always meets a warm server.
        for (int run = 0; run < kRuns; ++run) {
            for (int side = 0; side < 2; ++side) {
                const bool layerSide = (side + run) % 2 == 1;
                Exec(admin, "TRUNCATE TABLE BI");
                if (layerSide) {
                    insertLayer = std::min(insertLayer, Seconds([&] { InsertsLayer(conn); }));
                    selectLayer = std::min(selectLayer, Seconds([&] {
                                               for (int r = 0; r < kSelectRepeats; ++r) bytesLayer = SelectLayer(conn);
                                           }) / kSelectRepeats);
                } else {
                    insertBare = std::min(insertBare, Seconds([&] { InsertsBare(bare); }));
                    selectBare = std::min(selectBare, Seconds([&] {
                                              for (int r = 0; r < kSelectRepeats; ++r) bytesBare = SelectBare(bare);
                                          }) / kSelectRepeats);
                }
            }
        }
        std::printf("best of %d runs\n", kRuns);
        Report("(a) 10,000 parameterised INSERTs", insertLayer, insertBare);
        Report("(b) SELECT of 100,000 rows read as text", selectLayer, selectBare);
        std::printf("text bytes read: layer %zu, C API %zu\n", bytesLayer, bytesBare);
        mysql_close(bare);
        Exec(admin, "DROP DATABASE " + s.Database);
        mysql_close(admin);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "db_bench: %s\n", e.what());
        return 1;
    }
}
