#include <gtest/gtest.h>

#include "db_test_fixture.h"
#include "support/expect_raises.h"

namespace kdv::testing {
namespace {

std::string Hex(const std::string& Bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : Bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

using DbQueryTest = DbTest;

TEST_F(DbQueryTest, ParameterValuesReachTheServerUnchanged) {
    const std::vector<std::string> values = {
        "it's",
        "C:\\Pfad\\Datei.txt\\",
        "a :name b::c",
        "Hallo!name und &name &&x !!y",
        "Zeile 1\r\nZeile 2\nZeile 3\rEnde",
        "Grüße, Äpfel, Maß, € und 日本",
        "'; DROP TABLE LF_NACHRICHTEN; -- ?",
        std::string("NUL\0Byte", 8),
        "",
        // Longer than the piece the escaper takes at once, so it is cut: in
        // a run of ASCII, and through a run of two-byte characters that
        // offers no cut before the line end.
        std::string(70000, '\'') + "\\" + std::string(70000, 'a') + "ä\"\r\n" + std::string(5000, 'x'),
        [] {
            std::string umlauts;
            for (int i = 0; i < 40000; ++i) umlauts += "ä'";
            for (int i = 0; i < 40000; ++i) umlauts += "ü";
            return umlauts + "\n\n\r\r";
        }(),
    };
    TDbQuery q(Conn);
    q.SetSQL("INSERT INTO LF_NACHRICHTEN (LAGE, INHALT, VON) VALUES (1, :inhalt, :von) RETURNING ID");
    for (const auto& value : values) {
        SCOPED_TRACE(value.substr(0, 60));
        // "?" in the first value must not shift the second one.
        q.ParamByName("INHALT").SetAsString(value);
        const std::string von = "?" + (value.size() <= 100 ? value : std::string());
        q.ParamByName("von").SetAsString(von);
        q.Open();
        const std::string id = q.Fields(0).AsString();
        q.Open("SELECT INHALT, VON, HEX(INHALT) AS H FROM LF_NACHRICHTEN WHERE ID=" + id);
        EXPECT_EQ(q.FieldByName("inhalt").AsString(), value);
        EXPECT_EQ(q.FieldByName("VON").AsString(), von);
        EXPECT_EQ(q.FieldByName("H").AsString(), Hex(value));
        q.SetSQL("INSERT INTO LF_NACHRICHTEN (LAGE, INHALT, VON) VALUES (1, :inhalt, :von) RETURNING ID");
    }
}

TEST_F(DbQueryTest, StatementLongerThanTheServerTakesIsRefusedBeforeItIsSent) {
    Conn.Open();
    ASSERT_GT(Conn.MaxStatementBytes(), 0u);
    TDbQuery q(Conn);
    q.SetSQL("SELECT LENGTH(:v)");
    q.ParamByName("v").SetAsString(std::string(Conn.MaxStatementBytes(), 'x'));
    const EDbError e = testing::ExpectRaises<EDbError>([&] { q.Open(); });
    EXPECT_EQ(e.LayerCode(), db_code::kStatementTooLarge);
    EXPECT_TRUE(e.TooLarge());
    EXPECT_NE(std::string(e.what()).find("max_allowed_packet erlaubt " + std::to_string(Conn.MaxStatementBytes())),
              std::string::npos)
        << e.what();
    // Never sent, so the server kept the connection.
    EXPECT_TRUE(Conn.Connected());
    EXPECT_FALSE(Conn.Lost());
    q.ParamByName("v").SetAsString(std::string(1000, 'x'));
    q.Open();
    EXPECT_EQ(q.Fields(0).AsString(), "1000");
}

TEST_F(DbQueryTest, UnassignedParameterIsNullAndIntegersGoAsNumbers) {
    TDbQuery q(Conn);
    q.SetSQL("SELECT :a IS NULL, :b + 1, :c");
    q.ParamByName("b").SetAsInteger(-41);
    q.ParamByName("c").SetAsString("x");
    q.ParamByName("c").Clear();
    q.Open();
    EXPECT_EQ(q.Fields(0).AsString(), "1");
    EXPECT_EQ(q.Fields(1).AsString(), "-40");
    EXPECT_TRUE(q.Fields(2).IsNull());
    EXPECT_EQ(q.Fields(2).AsString(), "");
}

TEST_F(DbQueryTest, UnknownParameterRaisesNamingIt) {
    TDbQuery q(Conn);
    q.SetSQL("SELECT :Wert");
    EXPECT_NO_THROW(q.ParamByName("wERT"));
    const EDbError e = ExpectRaises<EDbError>([&] { q.ParamByName("other"); });
    EXPECT_STREQ(e.what(), "[DiraDB][MySQL]-302. Parameter [other] nicht gefunden");
}

TEST_F(DbQueryTest, LiteralsAsTheServerSeesThem) {
    struct TCase {
        std::string Select;
        std::string Expected;
    };
    const std::vector<TCase> cases = {
        {"SELECT 'a:b'", "a:b"},
        {"SELECT 'x!name y'", "x y"},
        {"SELECT 'a!!b'", "a!b"},
        {"SELECT 'a& b'", "a& b"},
        {"SELECT 'a&name'", "a"},
        {"SELECT 'it''s'", "it's"},
        {R"(SELECT 'it\'s :p')", "it's :p"},
        {R"(SELECT 'C:\\x\!y')", R"(C:\x!y)"},
        {"SELECT \"dq:x\"", "dq:x"},
        {"SELECT '{fn x}?'", "{fn x}?"},
        {"SELECT 10 /* :p !x */ -- :q\r\n + 1", "11"},
        {"SELECT 'a\r\nb'", "a\r\nb"},
    };
    TDbQuery q(Conn);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Select);
        q.Open(c.Select);
        EXPECT_EQ(q.Fields(0).AsString(), c.Expected);
    }
    q.SetSQL("SELECT /*!50000 :p + */ 1");
    q.ParamByName("p").SetAsInteger(6);
    q.Open();
    EXPECT_EQ(q.Fields(0).AsString(), "7");
}

TEST_F(DbQueryTest, RowsetsOfFifty) {
    struct TCase {
        int Rows;
        int CountAfterOpen;
    };
    TDbQuery q(Conn);
    q.ExecSQL("CREATE TABLE T (ID INTEGER)");
    for (const TCase& c : {TCase{0, 0}, {1, 1}, {50, 50}, {51, 50}, {120, 50}}) {
        SCOPED_TRACE(c.Rows);
        q.ExecSQL("DELETE FROM T");
        if (c.Rows > 0) q.ExecSQL("INSERT INTO T SELECT seq FROM seq_1_to_" + std::to_string(c.Rows));
        q.Open("SELECT ID FROM T ORDER BY ID");
        EXPECT_EQ(q.RecordCount(), c.CountAfterOpen);
        EXPECT_EQ(q.Eof(), c.Rows == 0);
        int visited = 0;
        while (!q.Eof()) {
            ++visited;
            EXPECT_EQ(q.Fields(0).AsInteger(), visited);
            q.Next();
        }
        EXPECT_EQ(visited, c.Rows);
        EXPECT_EQ(q.RecordCount(), c.Rows);
        // After the loop the last row is still the current one.
        EXPECT_EQ(q.Fields(0).AsString(), c.Rows == 0 ? "" : std::to_string(c.Rows));
        q.Next();
        EXPECT_TRUE(q.Eof());
        q.First();
        EXPECT_EQ(q.Eof(), c.Rows == 0);
        EXPECT_EQ(q.Fields(0).AsString(), c.Rows == 0 ? "" : "1");
    }
}

TEST_F(DbQueryTest, InsertReturningIdOpensAsOneRow) {
    TDbQuery q(Conn);
    const std::string insert =
        "INSERT INTO LF_NACHRICHTEN(ADD_USER,ADD_FUNKTION,LAGE,ALLGEMEIN,INHALT,BETREFF,VON,AN, ART) VALUES "
        "('DiraVid','DiraVid',7,0,:inhalt,'Maileingang',:von,:an,'E-Mail') RETURNING ID ";
    q.SetSQL(insert);
    q.ParamByName("inhalt").SetAsString("Betreff\r###\rText");
    q.ParamByName("von").SetAsString("a@example.org");
    q.ParamByName("an").SetAsString("b@example.org");
    q.Open();
    EXPECT_EQ(q.RecordCount(), 1);
    const std::int64_t first = q.Fields(0).AsInteger();
    EXPECT_GT(first, 0);
    q.Close();
    q.SetSQL(insert);
    q.Open();
    EXPECT_EQ(q.Fields(0).AsInteger(), first + 1);
    // The same object goes on with updates and a select, as the filing does.
    EXPECT_EQ(q.ExecSQL("UPDATE LF_NACHRICHTEN SET BEZUG='3' WHERE ID = " + std::to_string(first)), 1);
    q.Open("SELECT INHALT, VON, AN, BEZUG, DIRAVID_STATUS FROM LF_NACHRICHTEN WHERE ID=" + std::to_string(first));
    EXPECT_EQ(q.Fields(0).AsString(), "Betreff\r###\rText");
    EXPECT_EQ(q.Fields(1).AsString(), "a@example.org");
    EXPECT_EQ(q.Fields(2).AsString(), "b@example.org");
    EXPECT_EQ(q.Fields(3).AsString(), "3");
    EXPECT_EQ(q.Fields(4).AsString(), "");
}

TEST_F(DbQueryTest, MisuseErrorsLeaveTheQueryUsable) {
    struct TCase {
        const char* Name;
        bool Open;
        std::string Text;
        int Code;
        std::string Message;
    };
    const std::vector<TCase> cases = {
        {"empty text", true, "", 306, "[DiraDB][MySQL]-306. Anweisungstext [] darf nicht leer sein"},
        {"blank text", false, " \r\n\t", 306, "[DiraDB][MySQL]-306. Anweisungstext [] darf nicht leer sein"},
        {"open without result set", true, "UPDATE LF_LAGEN SET AKTIV=1", 308,
         "[DiraDB][MySQL]-308. Anweisung, die keine Ergebnismengen zurückgibt, kann nicht geöffnet/definiert werden. "
         "Hinweis: Verwenden Sie die Methode \"Execute/ExecSQL\" für Nicht-SELECT-Anweisungen"},
        {"exec with result set", false, "SELECT 1", 310,
         "[DiraDB][MySQL]-310. Anweisung, die Ergebnismengen zurückgibt, kann nicht ausgeführt werden. "
         "Hinweis: Verwenden Sie die \"Open\"-Methode für SELECT-ähnliche Anweisungen"},
    };
    TDbQuery q(Conn);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        q.Open("SELECT 5");
        const EDbError e = ExpectRaises<EDbError>([&] {
            if (c.Open) {
                q.Open(c.Text);
            } else {
                q.ExecSQL(c.Text);
            }
        });
        EXPECT_EQ(e.what(), c.Message);
        EXPECT_EQ(e.LayerCode(), c.Code);
        EXPECT_EQ(e.NativeError(), 0);
        EXPECT_FALSE(q.Active());
        EXPECT_EQ(ExpectRaises<EDbError>([&] { q.Fields(0); }).LayerCode(), 304);
        q.Open("SELECT 6");
        EXPECT_EQ(q.Fields(0).AsString(), "6");
        EXPECT_TRUE(Conn.Connected());
    }
}

TEST_F(DbQueryTest, ServerErrorsKeepTheirTextAndNumber) {
    struct TCase {
        std::string Text;
        int Native;
        bool Syntax;
        bool DuplicateKey;
        std::string Message;
        int Offset;
    };
    TDbQuery q(Conn);
    q.ExecSQL("INSERT INTO LF_LAGEN (ID, `NAME`) VALUES (5, 'x')");
    const std::vector<TCase> cases = {
        {"SELECT ID FROM LF_LAGEN WHERE ID = = 1", 1064, true, false,
         "[DiraDB][MySQL] You have an error in your SQL syntax; check the manual that corresponds to your MariaDB "
         "server version for the right syntax to use near '= 1' at line 1",
         35},
        {"SELECT NOPE FROM LF_NACHRICHTEN", 1054, false, false, "[DiraDB][MySQL] Unknown column 'NOPE' in ",
         -1},
        {"INSERT INTO LF_LAGEN (ID, `NAME`) VALUES (5, 'y')", 1062, false, true,
         "[DiraDB][MySQL] Duplicate entry '5' for key 'PRIMARY'", -1},
        {"UPDATE LF_LAGEN SET AKTIV=1; UPDATE NICHTDA SET X=1", 1146, false, false,
         "[DiraDB][MySQL] Table '" + Db->Name() + ".NICHTDA' doesn't exist", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        const EDbError e = ExpectRaises<EDbError>([&] { q.ExecSQL(c.Text); });
        // The server's wording after the column name varies between versions.
        EXPECT_EQ(std::string(e.what()).substr(0, c.Message.size()), c.Message);
        EXPECT_EQ(e.NativeError(), c.Native);
        EXPECT_EQ(e.SyntaxError(), c.Syntax);
        EXPECT_EQ(e.DuplicateKey(), c.DuplicateKey);
        EXPECT_EQ(e.ErrorKind(), TErrorKind::ekLocal);
        EXPECT_EQ(e.ErrorOffset(), c.Offset);
        EXPECT_TRUE(Conn.Connected());
    }
    q.Open("SELECT AKTIV FROM LF_LAGEN WHERE ID=5");
    EXPECT_EQ(q.Fields(0).AsString(), "1") << "the first of two statements ran";
}

TEST_F(DbQueryTest, FieldsAsText) {
    TDbQuery q(Conn);
    q.Open(
        "SELECT 42 AS N, -7 AS Neg, NULL AS Leer, CAST('2024-01-29 14:05:09.75' AS DATETIME(2)) AS Zeit, "
        "DATE '2024-01-09' AS Tag, TIME '04:05:09' AS Uhr, 'Grüße' AS `Größe`, 12345678901234 AS Big");
    struct TCase {
        const char* Name;
        std::string Text;
    };
    for (const TCase& c : {TCase{"n", "42"}, {"NEG", "-7"}, {"leer", ""}, {"ZEIT", "29.01.2024 14:05:09"},
                          {"tag", "09.01.2024"}, {"Uhr", "04:05:09"}, {"GRÖSSE", ""}, {"größe", "Grüße"},
                          {"big", "12345678901234"}}) {
        SCOPED_TRACE(c.Name);
        if (std::string(c.Name) == "GRÖSSE") {
            // "ß" has no one-letter capital; this name is simply another one.
            EXPECT_EQ(q.FindField(c.Name), nullptr);
            continue;
        }
        EXPECT_EQ(q.FieldByName(c.Name).AsString(), c.Text);
    }
    EXPECT_EQ(q.FieldByName("Big").AsInteger(), 12345678901234);
    EXPECT_EQ(q.FieldCount(), 8u);
    EXPECT_EQ(q.Fields(6).FieldName(), "Größe");
    EXPECT_EQ(ExpectRaises<EDbError>([&] { q.FieldByName("fehlt"); }).what(),
              std::string("[DiraDB][MySQL]-303. Feld [fehlt] nicht gefunden"));
    EXPECT_EQ(ExpectRaises<EDbError>([&] { q.Fields(8); }).LayerCode(), 303);
    EXPECT_EQ(ExpectRaises<EDbError>([&] { q.FieldByName("Tag").AsInteger(); }).LayerCode(), 312);
}

TEST_F(DbQueryTest, UpdateReportsMatchedRows) {
    TDbQuery q(Conn);
    q.ExecSQL("INSERT INTO LF_LAGEN (ID, AKTIV) VALUES (1, 1), (2, 1), (3, 0)");
    // Rows whose value does not change still count: the caller learns
    // whether the row exists.
    EXPECT_EQ(q.ExecSQL("UPDATE LF_LAGEN SET AKTIV=1 WHERE ID<=2"), 2);
    EXPECT_EQ(q.ExecSQL("ALTER TABLE LF_LAGEN  ADD EXTRA INTEGER;"), 0);
}

TEST_F(DbQueryTest, DisconnectClosesOpenQueries) {
    TDbQuery a(Conn), b(Conn);
    a.Open("SELECT 1");
    b.Open("SELECT 2");
    Conn.Close();
    EXPECT_FALSE(a.Active());
    EXPECT_FALSE(b.Active());
    // The next use reconnects on its own.
    b.Open("SELECT 3");
    EXPECT_EQ(b.Fields(0).AsString(), "3");
    EXPECT_TRUE(Conn.Connected());
}

TEST_F(DbQueryTest, QueryOutlivingItsConnection) {
    auto conn = std::make_unique<TDbConnection>();
    UseParams(*conn, Db->ConnectionParams());
    TDbQuery q(*conn);
    q.Open("SELECT 1");
    conn.reset();
    EXPECT_EQ(q.Connection(), nullptr);
    EXPECT_FALSE(q.Active());
    EXPECT_EQ(ExpectRaises<EDbError>([&] { q.Open("SELECT 1"); }).LayerCode(), 301);
}

}  // namespace
}  // namespace kdv::testing
