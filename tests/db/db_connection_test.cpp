#include <gtest/gtest.h>

#include "db/mysql_client_api.h"
#include "db_test_fixture.h"

namespace kdv::testing {
namespace {

class DbConnectionTest : public DbTest {
protected:
    void SetUp() override {
        DbTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        Conn.BeforeConnect = [this] { Events.push_back(Conn.Connected() ? "BeforeConnect+" : "BeforeConnect"); };
        Conn.AfterConnect = [this] { Events.push_back(Conn.Connected() ? "AfterConnect+" : "AfterConnect"); };
        Conn.BeforeDisconnect = [this] { Events.push_back(Conn.Connected() ? "BeforeDisconnect+" : "BeforeDisconnect"); };
        Conn.AfterDisconnect = [this] { Events.push_back(Conn.Connected() ? "AfterDisconnect+" : "AfterDisconnect"); };
    }

    std::vector<std::string> TakeEvents() { return std::exchange(Events, {}); }

    std::vector<std::string> Events;
};

using TEvents = std::vector<std::string>;

TEST_F(DbConnectionTest, EventsFireOnTransitionsOnly) {
    Conn.Close();
    EXPECT_EQ(TakeEvents(), TEvents{});
    Conn.Open();
    EXPECT_EQ(TakeEvents(), (TEvents{"BeforeConnect", "AfterConnect+"}));
    Conn.SetConnected(true);
    EXPECT_EQ(TakeEvents(), TEvents{});
    Conn.Close();
    EXPECT_EQ(TakeEvents(), (TEvents{"BeforeDisconnect+", "AfterDisconnect"}));
    Conn.SetConnected(false);
    EXPECT_EQ(TakeEvents(), TEvents{});
}

TEST_F(DbConnectionTest, QueryOnClosedConnectionConnectsFirst) {
    TDbQuery q(Conn);
    q.Open("SELECT @@character_set_connection, @@sql_auto_is_null, 'Ä'");
    EXPECT_EQ(TakeEvents(), (TEvents{"BeforeConnect", "AfterConnect+"}));
    EXPECT_EQ(q.Fields(0).AsString(), "utf8mb4");
    EXPECT_EQ(q.Fields(1).AsString(), "0");
    EXPECT_EQ(q.Fields(2).AsString(), "Ä");
    EXPECT_EQ(Conn.LowerCaseTableNames(), 0);
    EXPECT_GE(Conn.ServerVersion(), 100000u);
}

TEST_F(DbConnectionTest, AfterConnectErrorLeavesTheConnectionOpen) {
    Conn.AfterConnect = [] { throw EDiraError(TErrorKind::ekLocal, "Handler fehlgeschlagen"); };
    EXPECT_THROW(Conn.Open(), EDiraError);
    EXPECT_TRUE(Conn.Connected());
    TDbQuery q(Conn);
    q.Open("SELECT 1");
    EXPECT_EQ(q.Fields(0).AsString(), "1");
}

TEST_F(DbConnectionTest, HandlerClosingTheConnectionAgainIsAnErrorNotACrash) {
    Conn.AfterConnect = [this] { Conn.Close(); };
    TDbQuery q(Conn);
    const EDbError e = ExpectRaises<EDbError>([&] { q.Open("SELECT 1"); });
    EXPECT_STREQ(e.what(), "[DiraDB][MySQL]-313. Verbindung wurde beim Öffnen wieder geschlossen");
    EXPECT_FALSE(Conn.Connected());
    EXPECT_FALSE(q.Active());
}

TEST_F(DbConnectionTest, ParamsChangeOnlyWhileClosed) {
    Conn.Open();
    EXPECT_EQ(ExpectRaises<EDbError>([&] { Conn.Params.Add("Port=1"); }).LayerCode(), 311);
    EXPECT_EQ(ExpectRaises<EDbError>([&] { Conn.Params.Clear(); }).LayerCode(), 311);
    Conn.Close();
    EXPECT_NO_THROW(Conn.Params.Add("Compress=False"));
}

TEST_F(DbConnectionTest, ConnectFailuresLeaveItClosed) {
    struct TCase {
        const char* Name;
        std::string Line;      // replaces the line with the same name
        std::string Message;   // start of the message
        int Native;
        int Code;
    };
    const std::vector<TCase> cases = {
        {"wrong password", "Password=falsch", "[DiraDB][MySQL] Access denied for user 'root'@", 1045, 0},
        {"missing database", "Database=gibt_es_nicht", "[DiraDB][MySQL] Unknown database 'gibt_es_nicht'", 1049, 0},
        {"nobody listening", "Port=1", "[DiraDB][MySQL] Can't connect to ", 2002, 0},
        {"port not a number", "Port=33o6", "[DiraDB][MySQL]-309. Ungültiger Wert [33o6] für Verbindungsparameter Port",
         0, 309},
        {"port out of range", "Port=65536", "[DiraDB][MySQL]-309. Ungültiger Wert [65536]", 0, 309},
        {"no driver", "DriverID=", "[DiraDB][MySQL]-307. Treiber-ID ist nicht angegeben", 0, 307},
        {"other driver", "DriverID=FB", "[DiraDB][MySQL]-307. Treiber-ID [FB] ist unbekannt", 0, 307},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        std::vector<std::string> lines{c.Line};
        const std::string name = c.Line.substr(0, c.Line.find('='));
        for (const auto& line : Db->ConnectionParams()) {
            if (line.substr(0, line.find('=')) != name) lines.push_back(line);
        }
        UseParams(Conn, lines);
        const EDbError e = ExpectRaises<EDbError>([&] { Conn.Open(); });
        EXPECT_EQ(std::string(e.what()).substr(0, c.Message.size()), c.Message) << e.what();
        // A refused TCP connect reads 2002 or 2003 depending on the library.
        if (c.Native == 2002) {
            EXPECT_TRUE(e.NativeError() == 2002 || e.NativeError() == 2003) << e.NativeError();
        } else {
            EXPECT_EQ(e.NativeError(), c.Native);
        }
        EXPECT_EQ(e.LayerCode(), c.Code);
        EXPECT_FALSE(Conn.Connected());
        EXPECT_EQ(TakeEvents(), TEvents{"BeforeConnect"});
    }
    UseParams(Conn, Db->ConnectionParams());
    Conn.Open();
    EXPECT_TRUE(Conn.Connected());
}

TEST(DbConnectionParams, NamesIgnoreCaseAndTheFirstLineCounts) {
    TDbConnectionParams params;
    params.SetText("DriverID=MySQL\r\nPassword=a=b c \r\npassword=zweite\nServer");
    EXPECT_EQ(params.Value("PASSWORD"), "a=b c ");
    EXPECT_TRUE(params.Has("server"));
    EXPECT_EQ(params.Value("Server"), "");
    EXPECT_FALSE(params.Has("Port"));
    EXPECT_EQ(params.Lines().size(), 4u);
}

TEST(MySqlClientLibrary, LoadErrors) {
    const EDbError missing = ExpectRaises<EDbError>([] { LoadMySqlClientFrom({"libgibtsnicht-1.so", "/nirgends/libx.so"}); });
    const std::string text = missing.what();
    EXPECT_EQ(missing.LayerCode(), 314);
    EXPECT_EQ(text.rfind("[DiraDB][MySQL]-314. Laden der Herstellerbibliothek [libgibtsnicht-1.so or /nirgends/libx.so] "
                         "nicht möglich. ",
                         0),
              0u)
        << text;
    EXPECT_NE(text.find("libgibtsnicht-1.so: cannot open shared object file"), std::string::npos) << text;
    EXPECT_NE(text.find("/nirgends/libx.so: cannot open shared object file"), std::string::npos) << text;
    const std::string hint =
        "\nHinweis: Überprüfen Sie, ob sie sich im PATH oder in Anwendungs-EXE-Verzeichnissen befindet und eine "
        "Bitanzahl von x64 hat.";
    EXPECT_EQ(text.substr(text.size() - hint.size()), hint);

    const EDbError entry = ExpectRaises<EDbError>([] { LoadMySqlClientFrom({"libm.so.6"}); });
    EXPECT_EQ(entry.LayerCode(), 315);
    EXPECT_EQ(std::string(entry.what())
                  .rfind("[DiraDB][MySQL]-315. Abrufen der Eintrittspunkte für Herstellerbibliothek nicht möglich. "
                         "[mysql_server_init, mysql_init, ",
                         0),
              0u)
        << entry.what();
}

TEST(MySqlClientLibrary, ConnectionReportsALibraryThatDoesNotLoad) {
    TDbConnection conn;
    UseParams(conn, {"DriverID=MySQL", "VendorLib=libgibtsnicht-2.so"});
    const EDbError e = ExpectRaises<EDbError>([&] { conn.Open(); });
    EXPECT_EQ(e.LayerCode(), 314);
    EXPECT_FALSE(conn.Connected());
}

TEST(MySqlClientLibrary, DefaultNamesLoad) {
    const TMySqlClientApi& api = LoadMySqlClient("");
    EXPECT_EQ(api.LibraryName, DefaultMySqlClientNames().front());
    EXPECT_TRUE(api.ModernProtocol());
    EXPECT_EQ(&LoadMySqlClient(""), &api);
}

}  // namespace
}  // namespace kdv::testing
