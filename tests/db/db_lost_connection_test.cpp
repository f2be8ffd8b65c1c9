#include <gtest/gtest.h>

#include <memory>

#include "db_test_fixture.h"

namespace kdv {
namespace {

// These tests stop and restart a server; they run on one of their own so
// that tests running beside them keep theirs.
class DbLostConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        KDV_REQUIRE_DB_SERVER();
        Server = std::make_unique<test::TPrivateDbServer>();
        Db.emplace(CurrentTestName(), test::TFixtureOptions{}, &Server->Info());
        UseParams(Conn, Db->ConnectionParams());
        Conn.BeforeConnect = [this] { Events.push_back("BeforeConnect"); };
        Conn.AfterConnect = [this] { Events.push_back("AfterConnect"); };
        Conn.BeforeDisconnect = [this] { Events.push_back("BeforeDisconnect"); };
        Conn.AfterDisconnect = [this] {
            Events.push_back("AfterDisconnect");
            if (Reconnect) Conn.Open();
        };
    }

    std::vector<std::string> TakeEvents() { return std::exchange(Events, {}); }

    std::unique_ptr<test::TPrivateDbServer> Server;
    std::optional<test::TTestDatabase> Db;
    TDbConnection Conn;
    std::vector<std::string> Events;
    bool Reconnect = true;
};

using TEvents = std::vector<std::string>;

TEST_F(DbLostConnectionTest, RestartedServerIsReconnectedBeforeTheErrorArrives) {
    TDbQuery q(Conn);
    q.ExecSQL("INSERT INTO LF_LAGEN (ID) VALUES (1)");
    TakeEvents();
    Server->Restart();

    std::vector<std::string> seenByCaller;
    const EDbError e = ExpectDbError([&] { q.Open("SELECT ID FROM LF_LAGEN"); });
    seenByCaller = TakeEvents();
    EXPECT_EQ(e.Kind(), TDbErrorKind::ekServerGone) << e.what();
    EXPECT_TRUE(e.NativeError() == 2006 || e.NativeError() == 2013) << e.NativeError();
    EXPECT_EQ(std::string(e.what()).rfind("[DiraDB][MySQL] ", 0), 0u);
    EXPECT_EQ(seenByCaller, (TEvents{"BeforeDisconnect", "AfterDisconnect", "BeforeConnect", "AfterConnect"}));
    EXPECT_TRUE(Conn.Connected());
    EXPECT_FALSE(Conn.Lost());

    // The failed statement is not repeated; the next one works.
    q.Open("SELECT ID FROM LF_LAGEN");
    EXPECT_EQ(q.Fields(0).AsString(), "1");
    EXPECT_EQ(TakeEvents(), TEvents{});
}

TEST_F(DbLostConnectionTest, FailedReconnectRaisesItsOwnErrorAndALaterUseConnects) {
    TDbQuery q(Conn);
    q.Open("SELECT 1");
    TakeEvents();
    Server->Stop();

    const EDbError e = ExpectDbError([&] { q.ExecSQL("UPDATE LF_LAGEN SET AKTIV=1"); });
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
    Server->Restart();

    const EDbError e = ExpectDbError([&] { q.Open("SELECT 3"); });
    EXPECT_EQ(e.Kind(), TDbErrorKind::ekServerGone) << e.what();
    EXPECT_EQ(TakeEvents(), (TEvents{"BeforeDisconnect", "AfterDisconnect"}));
    EXPECT_FALSE(Conn.Connected());
    EXPECT_FALSE(other.Active());

    q.Open("SELECT 3");
    EXPECT_EQ(q.Fields(0).AsString(), "3");
    EXPECT_EQ(TakeEvents(), (TEvents{"BeforeConnect", "AfterConnect"}));
}

}  // namespace
}  // namespace kdv
