#pragma once
// One statement at a time on a TDbConnection, with named parameters and the
// columns of the current result row.
//
// Contract:
//  - SetSQL replaces the text, closes the query and creates the parameters
//    and macros the text names (see sql_preprocessor.h); values of the
//    previous text are dropped. Setting the same text again keeps them.
//  - Open executes the text and exposes its result set, positioned on the
//    first row; a statement without a result set fails with EDbError 308
//    after it has run. ExecSQL executes and returns the affected (matched)
//    row count; a statement that returns rows fails with 310. An empty text
//    fails with 306. Open(text) / ExecSQL(text) set the text first.
//  - Rows are taken over from the client library in rowsets of
//    kDbRowsetSize: RecordCount is the number of rows held so far (right
//    after Open the full count when there are at most kDbRowsetSize rows,
//    kDbRowsetSize otherwise). Next moves on and takes the next rowset when
//    needed; Eof is true after Next past the last row and at once for an
//    empty result. After Eof the last row stays the current one.
//  - Any failure leaves the query closed and reusable. A closed connection
//    is opened first (313 when its AfterConnect handler closed it again).
//    Closing or losing the connection closes the query.
//  - Fields and their values live until the query is closed; reading one
//    of a closed query raises EDbError 304. On an open query without rows
//    every field reads as NULL.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "db/db_connection.h"
#include "db/db_field.h"
#include "db/db_param.h"
#include "db/sql_preprocessor.h"

namespace kdv {

// Rows taken over from the client library per step.
inline constexpr std::uint64_t kDbRowsetSize = 50;

class TDbQuery {
public:
    TDbQuery() = default;
    explicit TDbQuery(TDbConnection& connection);
    ~TDbQuery();
    TDbQuery(const TDbQuery&) = delete;
    TDbQuery& operator=(const TDbQuery&) = delete;

    TDbConnection* Connection() const { return connection_; }
    void SetConnection(TDbConnection* connection);

    const std::string& SQL() const { return sql_; }
    // Raises EDbError 305 for a parameter or macro name that is too long;
    // the text is set all the same and the error repeats when it is run.
    void SetSQL(const std::string& text);

    std::size_t ParamCount() const { return params_.size(); }
    TDbParam& Params(std::size_t index) { return params_.at(index); }
    // Raises EDbError 302 naming the parameter when the text has no such one.
    TDbParam& ParamByName(std::string_view name);
    TDbParam* FindParam(std::string_view name);

    std::size_t MacroCount() const { return macros_.size(); }
    // Raises EDbError 302 when the text has no such macro.
    TDbMacro& MacroByName(std::string_view name);

    void Open();
    void Open(const std::string& text);
    std::int64_t ExecSQL();
    std::int64_t ExecSQL(const std::string& text);
    void Close();
    bool Active() const { return result_ != nullptr; }

    void First();
    void Next();
    bool Eof() const { return eof_; }
    std::int64_t RecordCount() const { return static_cast<std::int64_t>(held_); }

    std::size_t FieldCount() const { return fields_.size(); }
    // Raise EDbError 304 when closed, 303 for an unknown index or name.
    TDbField& Fields(std::size_t index);
    TDbField& FieldByName(std::string_view name);
    TDbField* FindField(std::string_view name);

private:
    friend class TDbConnection;
    friend class TDbField;

    void DetachFromConnection();
    TDbConnection::TRunResult Execute();
    std::string StatementText();
    void TakeRow();
    // Value of column `index` in the current row; nullptr for NULL or no row.
    const char* ValueAt(std::size_t index, std::size_t& length) const;
    void CheckActive() const;

    TDbConnection* connection_ = nullptr;
    std::string sql_;
    TPreprocessedSql prepared_;
    bool prepared_valid_ = false;
    std::vector<TDbParam> params_;
    std::vector<std::string> param_folded_;
    std::vector<TDbMacro> macros_;

    MYSQL_RES* result_ = nullptr;
    std::vector<TDbField> fields_;
    std::vector<std::string> field_folded_;
    MYSQL_ROW row_ = nullptr;
    std::vector<unsigned long> lengths_;
    std::uint64_t rec_no_ = 0;
    std::uint64_t total_ = 0;
    std::uint64_t held_ = 0;
    bool eof_ = true;
};

}  // namespace kdv
