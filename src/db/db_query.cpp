#include "db/db_query.h"

#include <algorithm>

#include "db/db_error.h"

namespace kdv {
namespace {

bool IsBlank(const std::string& Text) {
    return std::all_of(Text.begin(), Text.end(), [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
}

}  // namespace

TDbQuery::TDbQuery(TDbConnection& Connection) {
    SetConnection(&Connection);
}

TDbQuery::~TDbQuery() {
    Close();
    if (FConnection != nullptr) FConnection->Detach(this);
}

void TDbQuery::SetConnection(TDbConnection* Connection) {
    if (Connection == FConnection) return;
    Close();
    if (FConnection != nullptr) FConnection->Detach(this);
    FConnection = Connection;
    if (FConnection != nullptr) FConnection->Attach(this);
}

void TDbQuery::DetachFromConnection() {
    Close();
    FConnection = nullptr;
}

void TDbQuery::SetSQL(const std::string& Text) {
    Close();
    if (Text == FSQL && FPreparedValid) return;
    FSQL = Text;
    FPreparedValid = false;
    FParams.clear();
    FParamFolded.clear();
    FMacros.clear();
    FPrepared = PreprocessSql(FSQL);
    for (const auto& name : FPrepared.ParamNames) {
        FParams.emplace_back(name);
        FParamFolded.push_back(FoldIdentifier(name));
    }
    for (const auto& name : FPrepared.MacroNames) FMacros.emplace_back(name);
    FPreparedValid = true;
}

TDbParam* TDbQuery::FindParam(std::string_view Name) {
    const std::string folded = FoldIdentifier(Name);
    for (std::size_t i = 0; i < FParams.size(); ++i) {
        if (FParamFolded[i] == folded) return &FParams[i];
    }
    return nullptr;
}

TDbParam& TDbQuery::ParamByName(std::string_view Name) {
    if (TDbParam* param = FindParam(Name)) return *param;
    throw EDbError::Layer(db_code::kParamNotFound, "Parameter [" + std::string(Name) + "] nicht gefunden");
}

TDbMacro& TDbQuery::MacroByName(std::string_view Name) {
    const std::string folded = FoldIdentifier(Name);
    for (auto& macro : FMacros) {
        if (FoldIdentifier(macro.Name()) == folded) return macro;
    }
    throw EDbError::Layer(db_code::kParamNotFound, "Makro [" + std::string(Name) + "] nicht gefunden");
}

std::string TDbQuery::StatementText() {
    if (!FPreparedValid) SetSQL(FSQL);
    const TPreprocessedSql* prepared = &FPrepared;
    TPreprocessedSql expanded;
    const bool anyMacroValue =
        std::any_of(FMacros.begin(), FMacros.end(), [](const TDbMacro& m) { return !m.Value().empty(); });
    if (anyMacroValue) {
        TSqlMacroValues values;
        for (const auto& macro : FMacros) values[FoldIdentifier(macro.Name())] = macro.Value();
        expanded = PreprocessSql(FSQL, &values);
        prepared = &expanded;
    }
    if (prepared->MarkerOffsets.empty()) return prepared->Text;
    // After a macro expansion parameters are matched by name, so a macro
    // value cannot shift them.
    const auto paramAt = [&](std::size_t m) -> const TDbParam* {
        return anyMacroValue ? FindParam(prepared->ParamNames[prepared->MarkerParams[m]])
                             : &FParams[prepared->MarkerParams[m]];
    };
    // Room for every value's escaped form at once: a text of many megabytes
    // would otherwise make the statement grow by doubling, holding the old
    // and the new buffer together.
    std::size_t room = prepared->Text.size() + 64;
    for (std::size_t m = 0; m < prepared->MarkerOffsets.size(); ++m) {
        const TDbParam* param = paramAt(m);
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
        const TDbParam* param = paramAt(m);
        if (param == nullptr || param->IsNull()) {
            text += "NULL";
        } else if (param->DataType() == TDbParamType::ptInteger) {
            text += param->AsString();
        } else {
            FConnection->AppendQuoted(text, param->AsString());
        }
        from = at + 1;
    }
    text.append(prepared->Text, from, std::string::npos);
    return text;
}

TDbConnection::TRunResult TDbQuery::Execute() {
    Close();
    if (FConnection == nullptr) {
        throw EDbError::Layer(db_code::kNoConnection, "Der Abfrage ist keine Verbindung zugewiesen");
    }
    if (IsBlank(FSQL)) throw EDbError::Layer(db_code::kEmptyText, "Anweisungstext [] darf nicht leer sein");
    if (!FPreparedValid) SetSQL(FSQL);
    FConnection->SetConnected(true);
    FConnection->DropIfClosedByServer();
    // Reopens it when the disconnect handler did not.
    FConnection->SetConnected(true);
    // An AfterConnect handler may have lost or closed the connection again
    // without raising; the statement has nothing to run on then.
    if (!FConnection->Connected()) {
        throw EDbError::Layer(db_code::kClosedByHandler, "Verbindung wurde beim Öffnen wieder geschlossen");
    }
    return FConnection->Run(StatementText());
}

void TDbQuery::Open() {
    TDbConnection::TRunResult run = Execute();
    if (run.Result == nullptr) {
        throw EDbError::Layer(db_code::kOpenWithoutResult,
                              "Anweisung, die keine Ergebnismengen zurückgibt, kann nicht geöffnet/definiert werden. "
                              "Hinweis: Verwenden Sie die Methode \"Execute/ExecSQL\" für Nicht-SELECT-Anweisungen");
    }
    const TMySqlClientApi& api = FConnection->Api();
    FResult = run.Result;
    const unsigned int count = api.num_fields(FResult);
    const MYSQL_FIELD* fields = api.fetch_fields(FResult);
    FFields.reserve(count);
    for (unsigned int i = 0; i < count; ++i) {
        FFields.emplace_back(*this, i, std::string(fields[i].name, fields[i].name_length), fields[i].type);
        FFieldFolded.push_back(FoldIdentifier(FFields.back().FieldName()));
    }
    FTotal = api.num_rows(FResult);
    FLengths.assign(count, 0);
    FHeld = std::min(FTotal, kDbRowsetSize);
    FRecNo = 0;
    FEof = FTotal == 0;
    if (!FEof) TakeRow();
}

void TDbQuery::Open(const std::string& Text) {
    SetSQL(Text);
    Open();
}

std::int64_t TDbQuery::ExecSQL() {
    TDbConnection::TRunResult run = Execute();
    if (run.Result != nullptr) {
        FConnection->Api().free_result(run.Result);
        throw EDbError::Layer(db_code::kExecWithResult,
                              "Anweisung, die Ergebnismengen zurückgibt, kann nicht ausgeführt werden. "
                              "Hinweis: Verwenden Sie die \"Open\"-Methode für SELECT-ähnliche Anweisungen");
    }
    return static_cast<std::int64_t>(run.AffectedRows);
}

std::int64_t TDbQuery::ExecSQL(const std::string& Text) {
    SetSQL(Text);
    return ExecSQL();
}

void TDbQuery::Close() {
    if (FResult != nullptr) {
        FConnection->Api().free_result(FResult);
        FResult = nullptr;
    }
    FFields.clear();
    FFieldFolded.clear();
    FRow = nullptr;
    FTotal = 0;
    FHeld = 0;
    FRecNo = 0;
    FEof = true;
}

void TDbQuery::TakeRow() {
    const TMySqlClientApi& api = FConnection->Api();
    FRow = api.fetch_row(FResult);
    const unsigned long* lengths = api.fetch_lengths(FResult);
    if (FRow != nullptr && lengths != nullptr) std::copy(lengths, lengths + FLengths.size(), FLengths.begin());
}

void TDbQuery::First() {
    CheckActive();
    FRecNo = 0;
    FEof = FTotal == 0;
    if (FEof) return;
    FConnection->Api().data_seek(FResult, 0);
    TakeRow();
}

void TDbQuery::Next() {
    CheckActive();
    if (FEof) return;
    if (FRecNo + 1 >= FTotal) {
        FEof = true;
        return;
    }
    ++FRecNo;
    if (FRecNo >= FHeld) FHeld = std::min(FTotal, FHeld + kDbRowsetSize);
    TakeRow();
}

void TDbQuery::CheckActive() const {
    if (FResult == nullptr) throw EDbError::Layer(db_code::kNotOpen, "Abfrage ist nicht geöffnet");
}

TDbField& TDbQuery::Fields(std::size_t Index) {
    CheckActive();
    if (Index >= FFields.size()) {
        throw EDbError::Layer(db_code::kFieldNotFound,
                              "Feldindex [" + std::to_string(Index) + "] außerhalb des gültigen Bereichs");
    }
    return FFields[Index];
}

TDbField* TDbQuery::FindField(std::string_view Name) {
    CheckActive();
    const std::string folded = FoldIdentifier(Name);
    for (std::size_t i = 0; i < FFields.size(); ++i) {
        if (FFieldFolded[i] == folded) return &FFields[i];
    }
    return nullptr;
}

TDbField& TDbQuery::FieldByName(std::string_view Name) {
    if (TDbField* field = FindField(Name)) return *field;
    throw EDbError::Layer(db_code::kFieldNotFound, "Feld [" + std::string(Name) + "] nicht gefunden");
}

const char* TDbQuery::ValueAt(std::size_t Index, std::size_t& Length) const {
    CheckActive();
    Length = 0;
    if (FRow == nullptr || Index >= FLengths.size()) return nullptr;
    Length = FLengths[Index];
    return FRow[Index];
}

}  // namespace kdv
