#include "db/db_query.h"

#include <algorithm>

#include "db/db_error.h"

namespace kdv {
namespace {

bool IsBlank(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
}

}  // namespace

TDbQuery::TDbQuery(TDbConnection& connection) {
    SetConnection(&connection);
}

TDbQuery::~TDbQuery() {
    Close();
    if (connection_ != nullptr) connection_->Detach(this);
}

void TDbQuery::SetConnection(TDbConnection* connection) {
    if (connection == connection_) return;
    Close();
    if (connection_ != nullptr) connection_->Detach(this);
    connection_ = connection;
    if (connection_ != nullptr) connection_->Attach(this);
}

void TDbQuery::DetachFromConnection() {
    Close();
    connection_ = nullptr;
}

void TDbQuery::SetSQL(const std::string& text) {
    Close();
    if (text == sql_ && prepared_valid_) return;
    sql_ = text;
    prepared_valid_ = false;
    params_.clear();
    param_folded_.clear();
    macros_.clear();
    prepared_ = PreprocessSql(sql_);
    for (const auto& name : prepared_.ParamNames) {
        params_.emplace_back(name);
        param_folded_.push_back(FoldIdentifier(name));
    }
    for (const auto& name : prepared_.MacroNames) macros_.emplace_back(name);
    prepared_valid_ = true;
}

TDbParam* TDbQuery::FindParam(std::string_view name) {
    const std::string folded = FoldIdentifier(name);
    for (std::size_t i = 0; i < params_.size(); ++i) {
        if (param_folded_[i] == folded) return &params_[i];
    }
    return nullptr;
}

TDbParam& TDbQuery::ParamByName(std::string_view name) {
    if (TDbParam* param = FindParam(name)) return *param;
    throw EDbError::Layer(db_code::kParamNotFound, "Parameter [" + std::string(name) + "] nicht gefunden");
}

TDbMacro& TDbQuery::MacroByName(std::string_view name) {
    const std::string folded = FoldIdentifier(name);
    for (auto& macro : macros_) {
        if (FoldIdentifier(macro.Name()) == folded) return macro;
    }
    throw EDbError::Layer(db_code::kParamNotFound, "Makro [" + std::string(name) + "] nicht gefunden");
}

std::string TDbQuery::StatementText() {
    if (!prepared_valid_) SetSQL(sql_);
    const TPreprocessedSql* prepared = &prepared_;
    TPreprocessedSql expanded;
    const bool any_macro_value =
        std::any_of(macros_.begin(), macros_.end(), [](const TDbMacro& m) { return !m.Value().empty(); });
    if (any_macro_value) {
        TSqlMacroValues values;
        for (const auto& macro : macros_) values[FoldIdentifier(macro.Name())] = macro.Value();
        expanded = PreprocessSql(sql_, &values);
        prepared = &expanded;
    }
    if (prepared->MarkerOffsets.empty()) return prepared->Text;
    // After a macro expansion parameters are matched by name, so a macro
    // value cannot shift them.
    const auto param_at = [&](std::size_t m) -> const TDbParam* {
        return any_macro_value ? FindParam(prepared->ParamNames[prepared->MarkerParams[m]])
                               : &params_[prepared->MarkerParams[m]];
    };
    // Room for every value's escaped form at once: a text of many megabytes
    // would otherwise make the statement grow by doubling, holding the old
    // and the new buffer together.
    std::size_t room = prepared->Text.size() + 64;
    for (std::size_t m = 0; m < prepared->MarkerOffsets.size(); ++m) {
        const TDbParam* param = param_at(m);
        if (param == nullptr || param->IsNull()) {
            room += 4;
        } else if (param->DataType() == TDbParamType::ptInteger) {
            room += param->AsString().size();
        } else {
            room += TDbConnection::QuotedSize(param->AsString());
        }
    }
    std::string text;
    text.reserve(room);
    std::size_t from = 0;
    for (std::size_t m = 0; m < prepared->MarkerOffsets.size(); ++m) {
        const std::size_t at = prepared->MarkerOffsets[m];
        text.append(prepared->Text, from, at - from);
        const TDbParam* param = param_at(m);
        if (param == nullptr || param->IsNull()) {
            text += "NULL";
        } else if (param->DataType() == TDbParamType::ptInteger) {
            text += param->AsString();
        } else {
            connection_->AppendQuoted(text, param->AsString());
        }
        from = at + 1;
    }
    text.append(prepared->Text, from, std::string::npos);
    return text;
}

TDbConnection::TRunResult TDbQuery::Execute() {
    Close();
    if (connection_ == nullptr) {
        throw EDbError::Layer(db_code::kNoConnection, "Der Abfrage ist keine Verbindung zugewiesen");
    }
    if (IsBlank(sql_)) throw EDbError::Layer(db_code::kEmptyText, "Anweisungstext [] darf nicht leer sein");
    if (!prepared_valid_) SetSQL(sql_);
    connection_->SetConnected(true);
    connection_->DropIfClosedByServer();
    // Reopens it when the disconnect handler did not.
    connection_->SetConnected(true);
    // An AfterConnect handler may have lost or closed the connection again
    // without raising; the statement has nothing to run on then.
    if (!connection_->Connected()) {
        throw EDbError::Layer(db_code::kClosedByHandler, "Verbindung wurde beim Öffnen wieder geschlossen");
    }
    return connection_->Run(StatementText());
}

void TDbQuery::Open() {
    TDbConnection::TRunResult run = Execute();
    if (run.Result == nullptr) {
        throw EDbError::Layer(db_code::kOpenWithoutResult,
                              "Anweisung, die keine Ergebnismengen zurückgibt, kann nicht geöffnet/definiert werden. "
                              "Hinweis: Verwenden Sie die Methode \"Execute/ExecSQL\" für Nicht-SELECT-Anweisungen");
    }
    const TMySqlClientApi& api = connection_->Api();
    result_ = run.Result;
    const unsigned int count = api.num_fields(result_);
    const MYSQL_FIELD* fields = api.fetch_fields(result_);
    fields_.reserve(count);
    for (unsigned int i = 0; i < count; ++i) {
        fields_.emplace_back(*this, i, std::string(fields[i].name, fields[i].name_length), fields[i].type);
        field_folded_.push_back(FoldIdentifier(fields_.back().FieldName()));
    }
    total_ = api.num_rows(result_);
    lengths_.assign(count, 0);
    held_ = std::min(total_, kDbRowsetSize);
    rec_no_ = 0;
    eof_ = total_ == 0;
    if (!eof_) TakeRow();
}

void TDbQuery::Open(const std::string& text) {
    SetSQL(text);
    Open();
}

std::int64_t TDbQuery::ExecSQL() {
    TDbConnection::TRunResult run = Execute();
    if (run.Result != nullptr) {
        connection_->Api().free_result(run.Result);
        throw EDbError::Layer(db_code::kExecWithResult,
                              "Anweisung, die Ergebnismengen zurückgibt, kann nicht ausgeführt werden. "
                              "Hinweis: Verwenden Sie die \"Open\"-Methode für SELECT-ähnliche Anweisungen");
    }
    return static_cast<std::int64_t>(run.AffectedRows);
}

std::int64_t TDbQuery::ExecSQL(const std::string& text) {
    SetSQL(text);
    return ExecSQL();
}

void TDbQuery::Close() {
    if (result_ != nullptr) {
        connection_->Api().free_result(result_);
        result_ = nullptr;
    }
    fields_.clear();
    field_folded_.clear();
    row_ = nullptr;
    total_ = 0;
    held_ = 0;
    rec_no_ = 0;
    eof_ = true;
}

void TDbQuery::TakeRow() {
    const TMySqlClientApi& api = connection_->Api();
    row_ = api.fetch_row(result_);
    const unsigned long* lengths = api.fetch_lengths(result_);
    if (row_ != nullptr && lengths != nullptr) std::copy(lengths, lengths + lengths_.size(), lengths_.begin());
}

void TDbQuery::First() {
    CheckActive();
    rec_no_ = 0;
    eof_ = total_ == 0;
    if (eof_) return;
    connection_->Api().data_seek(result_, 0);
    TakeRow();
}

void TDbQuery::Next() {
    CheckActive();
    if (eof_) return;
    if (rec_no_ + 1 >= total_) {
        eof_ = true;
        return;
    }
    ++rec_no_;
    if (rec_no_ >= held_) held_ = std::min(total_, held_ + kDbRowsetSize);
    TakeRow();
}

void TDbQuery::CheckActive() const {
    if (result_ == nullptr) throw EDbError::Layer(db_code::kNotOpen, "Abfrage ist nicht geöffnet");
}

TDbField& TDbQuery::Fields(std::size_t index) {
    CheckActive();
    if (index >= fields_.size()) {
        throw EDbError::Layer(db_code::kFieldNotFound,
                              "Feldindex [" + std::to_string(index) + "] außerhalb des gültigen Bereichs");
    }
    return fields_[index];
}

TDbField* TDbQuery::FindField(std::string_view name) {
    CheckActive();
    const std::string folded = FoldIdentifier(name);
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        if (field_folded_[i] == folded) return &fields_[i];
    }
    return nullptr;
}

TDbField& TDbQuery::FieldByName(std::string_view name) {
    if (TDbField* field = FindField(name)) return *field;
    throw EDbError::Layer(db_code::kFieldNotFound, "Feld [" + std::string(name) + "] nicht gefunden");
}

const char* TDbQuery::ValueAt(std::size_t index, std::size_t& length) const {
    CheckActive();
    length = 0;
    if (row_ == nullptr || index >= lengths_.size()) return nullptr;
    length = lengths_[index];
    return row_[index];
}

}  // namespace kdv
