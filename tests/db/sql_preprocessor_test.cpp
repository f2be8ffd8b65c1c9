#include "db/sql_preprocessor.h"

#include <gtest/gtest.h>

#include "db/db_error.h"

#include "support/expect_raises.h"

using kdv::testing::ExpectRaises;

namespace kdv {
namespace {

struct TCase {
    const char* Name;
    std::string Input;
    std::string Output;
    std::vector<std::string> Params;
    std::vector<std::string> Macros = {};
};

const std::vector<TCase>& Cases() {
    static const std::vector<TCase> cases = {
        {"plain parameter", "SELECT * FROM T WHERE A=:a", "SELECT * FROM T WHERE A=?", {"a"}},
        {"repeated name in other case is one parameter", "SELECT :Wert, :WERT, :b", "SELECT ?, ?, ?", {"Wert", "b"}},
        {"double colon is one literal colon", "SELECT a::b, ::c", "SELECT a:b, :c", {}},
        {"colon after name character stays", "SET @v:=1; SELECT 10:30, x:y", "SET @v:=1; SELECT 10:30, x:y", {}},
        {"colon before blank, tab, line end, = or end stays", "a : b :\tc :\nd :=e f:", "a : b :\tc :\nd :=e f:", {}},
        {"colon before a non-name character stays", "SELECT :(1)", "SELECT :(1)", {}},
        {"colon after a quote starts a parameter", "SELECT 'x':p", "SELECT 'x'?", {"p"}},
        {"name characters include # $ _ and digits", "SELECT :a#b$c_9-1", "SELECT ?-1", {"a#b$c_9"}},
        {"umlaut names fold their case", "SELECT :Größe, :GRÖßE", "SELECT ?, ?", {"Größe"}},
        {"colon after a non-ASCII letter stays", "SELECT ä:p", "SELECT ä:p", {}},
        {"colon inside literals and names stays", "SELECT 'a:b', \"c:d\", `e:f`", "SELECT 'a:b', \"c:d\", `e:f`", {}},
        {"doubled quote stays inside the literal", "SELECT 'it''s :x', :y", "SELECT 'it''s :x', ?", {"y"}},
        {"backslash makes a quote ordinary", R"(SELECT 'it\'s :x', :y)", R"(SELECT 'it\'s :x', ?)", {"y"}},
        {"colon in comments stays", "SELECT 1 /* :a */ -- :b\n, :c", "SELECT 1 /* :a */ -- :b\n, ?", {"c"}},
        {"conditional section is read as SQL", "SELECT /*!50000 :a */ 1", "SELECT /*!50000 ? */ 1", {"a"}},
        {"line comment ends at CR", "SELECT 1 -- x\r:p", "SELECT 1 -- x\n?", {"p"}},
        {"line ends become LF outside literals", "A\r\nB\rC\n'x\r\ny'", "A\nB\nC\n'x\r\ny'", {}},
        {"question mark and braces stay ordinary", "SELECT '?', ?, {fn NOW()}, '{'", "SELECT '?', ?, {fn NOW()}, '{'", {}},
        {"macro in a literal removes itself and its name", "SELECT 'x!name y'", "SELECT 'x y'", {}, {"name"}},
        {"double exclamation mark is one", "SELECT 'a!!b', 1 !!= 2", "SELECT 'a!b', 1 != 2", {}},
        {"ampersand before blank stays", "SELECT 'a& b'", "SELECT 'a& b'", {}},
        {"ampersand macro in a literal", "SELECT 'a&name'", "SELECT 'a'", {}, {"name"}},
        {"markers before & ' < = > stay", "a && b, a != b, a &<b, '&', a!>b", "a && b, a != b, a &<b, '&', a!>b", {}},
        {"marker at the end stays", "SELECT 1!", "SELECT 1!", {}},
        {"macros also in comments and names", "/* !x */ -- &y\n`a!z`", "/*  */ -- \n`a`", {}, {"x", "y", "z"}},
        {"escaped macro marker stays", R"(SELECT 'a\!b')", R"(SELECT 'a\!b')", {}},
        {"macro outside literals", "SELECT &Cols FROM t", "SELECT  FROM t", {}, {"Cols"}},
        // An overlong form spells an ASCII character in more bytes than it
        // needs; read as that character it would let such bytes pass as a name.
        {"overlong letter starts no parameter or macro", "SELECT :\xC1\x81, '&\xC1\x81'",
         "SELECT :\xC1\x81, '&\xC1\x81'", {}},
        {"overlong letter, digit or umlaut ends a name",
         "SELECT :a\xC1\x81, :b\xF0\x80\x80\xB1, :c\xE0\x83\xA4",
         "SELECT ?\xC1\x81, ?\xF0\x80\x80\xB1, ?\xE0\x83\xA4", {"a", "b", "c"}},
        {"colon after an overlong letter starts a parameter", "SELECT \xC1\x81:p", "SELECT \xC1\x81?", {"p"}},
    };
    return cases;
}

TEST(SqlPreprocessor, CasesTable) {
    for (const auto& c : Cases()) {
        SCOPED_TRACE(c.Name);
        const TPreprocessedSql out = PreprocessSql(c.Input);
        EXPECT_EQ(out.Text, c.Output);
        EXPECT_EQ(out.ParamNames, c.Params);
        EXPECT_EQ(out.MacroNames, c.Macros);
        // Every marker offset points at a "?" that stands for a parameter.
        for (std::size_t m = 0; m < out.MarkerOffsets.size(); ++m) {
            ASSERT_LT(out.MarkerOffsets[m], out.Text.size());
            EXPECT_EQ(out.Text[out.MarkerOffsets[m]], '?');
            EXPECT_LT(out.MarkerParams[m], out.ParamNames.size());
        }
    }
}

TEST(SqlPreprocessor, MarkersMapToParametersInOrder) {
    const TPreprocessedSql out = PreprocessSql("INSERT INTO T VALUES (:b, '?', :a, :B)");
    EXPECT_EQ(out.Text, "INSERT INTO T VALUES (?, '?', ?, ?)");
    EXPECT_EQ(out.ParamNames, (std::vector<std::string>{"b", "a"}));
    EXPECT_EQ(out.MarkerParams, (std::vector<std::size_t>{0, 1, 0}));
    EXPECT_EQ(out.MarkerOffsets, (std::vector<std::size_t>{22, 30, 33}));
}

TEST(SqlPreprocessor, MacroValuesAreInsertedUnscanned) {
    const TSqlMacroValues values{{FoldIdentifier("Cols"), "A, ':x' AS B"}};
    const TPreprocessedSql out = PreprocessSql("SELECT &cols FROM t WHERE C=:c", &values);
    EXPECT_EQ(out.Text, "SELECT A, ':x' AS B FROM t WHERE C=?");
    EXPECT_EQ(out.ParamNames, (std::vector<std::string>{"c"}));
}

TEST(SqlPreprocessor, NamesUpTo255Characters) {
    for (const char marker : {':', '!', '&'}) {
        SCOPED_TRACE(std::string(1, marker));
        const std::string longest(kMaxIdentifierChars, 'x');
        EXPECT_NO_THROW(PreprocessSql(std::string("SELECT ") + marker + longest));
        const EDbError e = ExpectRaises<EDbError>([&] {
            PreprocessSql(std::string("SELECT ") + marker + longest + "y");
        });
        EXPECT_STREQ(e.what(), "[DiraDB][MySQL]-305. Bezeichner zu lang (> 255)");
    }
    // Characters, not bytes: 255 umlauts are 510 bytes and still fit.
    std::string umlauts;
    for (std::size_t i = 0; i < kMaxIdentifierChars; ++i) umlauts += "ä";
    EXPECT_EQ(PreprocessSql("SELECT :" + umlauts).ParamNames.at(0), umlauts);
}

TEST(SqlPreprocessor, FoldingLowersLettersAndKeepsBrokenBytes) {
    const struct {
        std::string name;
        std::string folded;
    } cases[] = {
        {"Größe", "größe"},
        {"A\xFF" "B", "a\xFF" "b"},
        // Not another spelling of "a": an overlong form stays the bytes it is.
        {"\xC1\x81", "\xC1\x81"},
        {"\xE0\x81\x81", "\xE0\x81\x81"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FoldIdentifier(c.name), c.folded) << c.name;
    }
}

TEST(SqlPreprocessor, BrokenUtf8IsCopiedAndEndsNames) {
    const std::string text = "SELECT :a\xC3 '\xFF:b'";
    const TPreprocessedSql out = PreprocessSql(text);
    EXPECT_EQ(out.Text, "SELECT ?\xC3 '\xFF:b'");
    EXPECT_EQ(out.ParamNames, (std::vector<std::string>{"a"}));
}

}  // namespace
}  // namespace kdv
