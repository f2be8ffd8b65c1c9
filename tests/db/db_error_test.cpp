#include "db/db_error.h"

#include <gtest/gtest.h>

namespace kdv {
namespace {

// What a native number means: a lost connection is a kind every caller
// decides on; login, key and syntax failures stay facts of the number.
enum class TMeaning { None, AccessDenied, DuplicateKey, Syntax };

TEST(DbError, NativeNumbersAndTheirMeaning) {
    struct TCase {
        int Native;
        TErrorKind Kind;
        TMeaning Meaning;
    };
    constexpr TErrorKind kLost = TErrorKind::ekDbConnectionLost;
    constexpr TErrorKind kLocal = TErrorKind::ekLocal;
    // 2055 and 4031 are how newer libraries and servers report a dropped
    // connection; they must lead to a reconnect like the classic three, and
    // so must the errors the server sends before closing the connection
    // (shutdown 1053, oversized statement 1153, killed session 1927).
    for (const TCase& c : {TCase{2003, kLost, TMeaning::None}, {2006, kLost, TMeaning::None},
                           {2013, kLost, TMeaning::None}, {2055, kLost, TMeaning::None},
                           {4031, kLost, TMeaning::None}, {1053, kLost, TMeaning::None},
                           {1153, kLost, TMeaning::None}, {1927, kLost, TMeaning::None},
                           {2002, kLocal, TMeaning::None}, {1045, kLocal, TMeaning::AccessDenied},
                           {1062, kLocal, TMeaning::DuplicateKey}, {1064, kLocal, TMeaning::Syntax},
                           {1146, kLocal, TMeaning::None}}) {
        SCOPED_TRACE(c.Native);
        const EDbError e(c.Native, "Text der Bibliothek");
        EXPECT_EQ(e.ErrorKind(), c.Kind);
        EXPECT_EQ(e.AccessDenied(), c.Meaning == TMeaning::AccessDenied);
        EXPECT_EQ(e.DuplicateKey(), c.Meaning == TMeaning::DuplicateKey);
        EXPECT_EQ(e.SyntaxError(), c.Meaning == TMeaning::Syntax);
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
    EXPECT_EQ(layer.LayerCode(), 306);
    EXPECT_EQ(layer.NativeError(), 0);
    EXPECT_FALSE(layer.SyntaxError());
}

// Callers that only see the common error type tell a lost database
// connection from any other database failure, and both from a mail server's.
TEST(DbError, KindSeenThroughTheCommonType) {
    const EDiraError& lost = EDbError(2006, "MySQL server has gone away");
    const EDiraError& refused = EDbError(1045, "Access denied for user 'x'@'localhost'");
    const EDiraError& layer = EDbError::Layer(db_code::kNoConnection, "Keine Verbindung");
    EXPECT_EQ(lost.ErrorKind(), TErrorKind::ekDbConnectionLost);
    EXPECT_EQ(refused.ErrorKind(), TErrorKind::ekLocal);
    EXPECT_EQ(layer.ErrorKind(), TErrorKind::ekLocal);
}

}  // namespace
}  // namespace kdv
