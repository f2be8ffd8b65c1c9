#pragma once
// One column of a query's result, read in the current row. Values are text:
// integers in decimal, NULL as the empty text, date-time values as
// "dd.mm.yyyy hh:nn:ss", dates as "dd.mm.yyyy", times as "hh:nn:ss".
#include <cstddef>
#include <cstdint>
#include <string>

#include <mysql.h>

namespace kdv {

class TDbQuery;

class TDbField {
public:
    TDbField(TDbQuery& query, std::size_t index, std::string name, enum_field_types type);

    const std::string& FieldName() const { return name_; }
    std::size_t Index() const { return index_; }

    // Raise EDbError 304 when the query is no longer open.
    bool IsNull() const;
    std::string AsString() const;
    // Raises EDbError 312 when the value is not a whole number; NULL is 0.
    std::int64_t AsInteger() const;

private:
    TDbQuery* query_;
    std::size_t index_;
    std::string name_;
    enum_field_types type_;
};

// The server's text form of a value in the form described above.
std::string FormatDbValue(enum_field_types type, const char* data, std::size_t length);

}  // namespace kdv
