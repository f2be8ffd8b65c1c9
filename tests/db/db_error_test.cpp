#include "db/db_error.h"

#include <gtest/gtest.h>

namespace kdv {
namespace {

TEST(DbError, NativeNumbersAndTheirMeaning) {
    struct TCase {
        int Native;
        TDbErrorKind Kind;
    };
    // 2055 and 4031 are how newer libraries and servers report a dropped
    // connection; they must lead to a reconnect like the classic three, and
    // so must the errors the server sends before closing the connection
    // (shutdown 1053, oversized statement 1153, killed session 1927).
    for (const TCase& c : {TCase{2003, TDbErrorKind::ekServerGone}, {2006, TDbErrorKind::ekServerGone},
                           {2013, TDbErrorKind::ekServerGone}, {2055, TDbErrorKind::ekServerGone},
                           {4031, TDbErrorKind::ekServerGone}, {1053, TDbErrorKind::ekServerGone},
                           {1153, TDbErrorKind::ekServerGone}, {1927, TDbErrorKind::ekServerGone},
                           {2002, TDbErrorKind::ekOther},
                           {1045, TDbErrorKind::ekAccessDenied}, {1062, TDbErrorKind::ekDuplicateKey},
                           {1064, TDbErrorKind::ekSyntax}, {1146, TDbErrorKind::ekOther}}) {
        SCOPED_TRACE(c.Native);
        const EDbError e(c.Native, "Text der Bibliothek");
        EXPECT_EQ(e.Kind(), c.Kind);
        EXPECT_EQ(e.NativeError(), c.Native);
        EXPECT_EQ(e.LayerCode(), 0);
        EXPECT_STREQ(e.what(), "[DiraDB][MySQL] Text der Bibliothek");
        EXPECT_FALSE(e.TooLarge());
    }
    // A value too long for its column fails alike however often it is sent;
    // so does a statement the layer refused as longer than the server takes.
    EXPECT_TRUE(EDbError(1406, "Data too long for column 'INHALT' at row 1").TooLarge());
    EXPECT_TRUE(EDbError::Layer(db_code::kStatementTooLarge, "zu groß").TooLarge());
    EXPECT_FALSE(EDbError::Layer(db_code::kNoConnection, "weg").TooLarge());
    const EDbError layer = EDbError::Layer(306, "Anweisungstext [] darf nicht leer sein");
    EXPECT_STREQ(layer.what(), "[DiraDB][MySQL]-306. Anweisungstext [] darf nicht leer sein");
    EXPECT_EQ(layer.Kind(), TDbErrorKind::ekLayer);
    EXPECT_EQ(layer.NativeError(), 0);
}

// Callers that only see the common error type still tell a database
// failure from a mail server's.
TEST(DbError, IsALocalFailure) {
    const EDiraError& native = EDbError(2006, "MySQL server has gone away");
    const EDiraError& layer = EDbError::Layer(db_code::kNoConnection, "Keine Verbindung");
    EXPECT_EQ(native.ErrorKind(), TErrorKind::ekLocal);
    EXPECT_EQ(layer.ErrorKind(), TErrorKind::ekLocal);
}

}  // namespace
}  // namespace kdv
