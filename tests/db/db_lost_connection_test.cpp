#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "db_test_fixture.h"

namespace kdv::testing {
namespace {

using TEvents = std::vector<std::string>;

// These tests stop and restart a server; they run on one of their own so
// that tests running beside them keep theirs.
class DbLostConnectionTest : public ::testing::Test {
public:  // the cases' actions take the fixture
    void SetUp() override {
        KDV_REQUIRE_DB_SERVER();
        Server = std::make_unique<TPrivateDbServer>();
        Db.emplace(CurrentTestName(), TFixtureOptions{}, &Server->Info());
        UseParams(Conn, Db->ConnectionParams());
        UseParams(Killer, Db->ConnectionParams());
        Conn.BeforeConnect = [this] { Events.push_back("BeforeConnect"); };
        Conn.AfterConnect = [this] { Events.push_back("AfterConnect"); };
        Conn.BeforeDisconnect = [this] { Events.push_back("BeforeDisconnect"); };
        Conn.AfterDisconnect = [this] {
            Events.push_back("AfterDisconnect");
            if (Reconnect) Conn.Open();
        };
    }

    TEvents TakeEvents() { return std::exchange(Events, {}); }

    // The server ends the session of Conn, as an administrator's KILL does.
    void KillSession(const std::string& Id) {
        TDbQuery kill(Killer);
        kill.ExecSQL("KILL CONNECTION " + Id);
    }
    std::string SessionId() {
        TDbQuery id(Conn);
        id.Open("SELECT CONNECTION_ID()");
        return id.Fields(0).AsString();
    }

    std::unique_ptr<TPrivateDbServer> Server;
    std::optional<TTestDatabase> Db;
    TDbConnection Conn;
    TDbConnection Killer;
    TEvents Events;
    bool Reconnect = true;
};

// A connection the server closed while it lay idle is noticed before the next
// statement is sent, so that statement runs on a new connection and works.
TEST_F(DbLostConnectionTest, ClosedWhileIdleIsReconnectedBeforeTheStatement) {
    struct TCase {
        const char* Name;
        bool Reconnect;  // the disconnect handler reconnects; else the automatic connect does
        std::function<void(DbLostConnectionTest&)> Break;
    };
    const std::vector<TCase> cases = {
        {"server restarted", true, [](DbLostConnectionTest& t) { t.Server->Restart(); }},
        {"server restarted, no handler", false, [](DbLostConnectionTest& t) { t.Server->Restart(); }},
        {"session killed", true, [](DbLostConnectionTest& t) { t.KillSession(t.SessionId()); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Reconnect = c.Reconnect;
        TDbQuery other(Conn);
        other.Open("SELECT 1");
        c.Break(*this);
        // Give the kernel the server's farewell.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        TakeEvents();

        TDbQuery q(Conn);
        q.Open("SELECT 7");
        EXPECT_EQ(q.Fields(0).AsString(), "7");
        EXPECT_EQ(TakeEvents(), (TEvents{"BeforeDisconnect", "AfterDisconnect", "BeforeConnect", "AfterConnect"}));
        EXPECT_TRUE(Conn.Connected());
        EXPECT_FALSE(Conn.Lost());
        EXPECT_FALSE(other.Active());
        q.Close();
        Killer.Close();
    }
}

// A connection lost while its statement runs fails that statement (it may or
// may not have run), after the handler reconnected; the next one works.
TEST_F(DbLostConnectionTest, LostDuringTheStatementRaisesAfterTheReconnect) {
    struct TCase {
        const char* Name;
        std::function<void(DbLostConnectionTest&, TDbQuery&)> Statement;
    };
    // A statement longer than the server takes never reaches it: the layer
    // refuses it and the connection stays (see the query tests).
    const std::vector<TCase> cases = {
        {"session killed during the statement",
         [](DbLostConnectionTest& t, TDbQuery& q) {
             const std::string id = t.SessionId();
             std::thread killer([&t, id] {
                 std::this_thread::sleep_for(std::chrono::milliseconds(500));
                 t.KillSession(id);
             });
             try {
                 q.Open("SELECT SLEEP(10)");
             } catch (...) {
                 killer.join();
                 throw;
             }
             killer.join();
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Conn.Close();
        Conn.Open();
        TDbQuery q(Conn);
        TakeEvents();
        const EDbError e = ExpectRaises<EDbError>([&] { c.Statement(*this, q); });
        EXPECT_EQ(e.ErrorKind(), TErrorKind::ekDbConnectionLost) << e.what();
        EXPECT_EQ(std::string(e.what()).rfind("[DiraDB][MySQL] ", 0), 0u);
        EXPECT_EQ(TakeEvents(), (TEvents{"BeforeDisconnect", "AfterDisconnect", "BeforeConnect", "AfterConnect"}));
        EXPECT_TRUE(Conn.Connected());

        // The failed statement is not repeated; the next one works.
        q.Open("SELECT 8");
        EXPECT_EQ(q.Fields(0).AsString(), "8");
        EXPECT_EQ(TakeEvents(), TEvents{});
        Killer.Close();
    }
}

TEST_F(DbLostConnectionTest, FailedReconnectRaisesItsOwnErrorAndALaterUseConnects) {
    TDbQuery q(Conn);
    q.Open("SELECT 1");
    TakeEvents();
    Server->Stop();

    const EDbError e = ExpectRaises<EDbError>([&] { q.ExecSQL("UPDATE LF_LAGEN SET AKTIV=1"); });
    EXPECT_EQ(TakeEvents(), (TEvents{"BeforeDisconnect", "AfterDisconnect", "BeforeConnect"}));
    // The reconnect's refusal, not the lost statement's error.
    EXPECT_TRUE(e.NativeError() == 2002 || e.NativeError() == 2003) << e.what();
    EXPECT_FALSE(Conn.Connected());
    EXPECT_TRUE(Conn.Lost());

    Server->Start();
    q.Open("SELECT 2");
    EXPECT_EQ(q.Fields(0).AsString(), "2");
    EXPECT_EQ(TakeEvents(), (TEvents{"BeforeConnect", "AfterConnect"}));
}

TEST_F(DbLostConnectionTest, WithoutAHandlerTheStatementsErrorArrivesAndTheNextUseConnects) {
    Reconnect = false;
    TDbQuery other(Conn);
    other.Open("SELECT 1");
    TDbQuery q(Conn);
    TakeEvents();
    const std::string id = SessionId();
    std::thread killer([this, id] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        KillSession(id);
    });
    const EDbError e = ExpectRaises<EDbError>([&] { q.Open("SELECT SLEEP(10)"); });
    killer.join();
    EXPECT_EQ(e.ErrorKind(), TErrorKind::ekDbConnectionLost) << e.what();
    EXPECT_EQ(TakeEvents(), (TEvents{"BeforeDisconnect", "AfterDisconnect"}));
    EXPECT_FALSE(Conn.Connected());
    EXPECT_FALSE(other.Active());

    q.Open("SELECT 3");
    EXPECT_EQ(q.Fields(0).AsString(), "3");
    EXPECT_EQ(TakeEvents(), (TEvents{"BeforeConnect", "AfterConnect"}));
}

}  // namespace
}  // namespace kdv::testing
