#include "db/db_field.h"

#include <charconv>

#include "db/db_error.h"
#include "db/db_query.h"

namespace kdv {
namespace {

// "yyyy-mm-dd" to "dd.mm.yyyy"; an all-zero date, which no calendar holds,
// reads as empty.
bool AppendDate(std::string& out, const char* data, std::size_t length) {
    if (length < 10 || data[4] != '-' || data[7] != '-') return false;
    if (std::string_view(data, 10) == "0000-00-00") return true;
    out.append(data + 8, 2);
    out += '.';
    out.append(data + 5, 2);
    out += '.';
    out.append(data, 4);
    return true;
}

}  // namespace

TDbField::TDbField(TDbQuery& query, std::size_t index, std::string name, enum_field_types type)
    : query_(&query), index_(index), name_(std::move(name)), type_(type) {}

bool TDbField::IsNull() const {
    std::size_t length;
    return query_->ValueAt(index_, length) == nullptr;
}

std::string TDbField::AsString() const {
    std::size_t length;
    const char* data = query_->ValueAt(index_, length);
    return data == nullptr ? std::string() : FormatDbValue(type_, data, length);
}

std::int64_t TDbField::AsInteger() const {
    std::size_t length;
    const char* data = query_->ValueAt(index_, length);
    if (data == nullptr) return 0;
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(data, data + length, value);
    if (ec != std::errc() || end != data + length) {
        throw EDbError::Layer(db_code::kNotAnInteger,
                              "Wert [" + std::string(data, length) + "] des Feldes [" + name_ + "] ist keine ganze Zahl");
    }
    return value;
}

std::string FormatDbValue(enum_field_types type, const char* data, std::size_t length) {
    switch (type) {
        case MYSQL_TYPE_DATETIME:
        case MYSQL_TYPE_TIMESTAMP: {
            std::string out;
            if (length >= 19 && AppendDate(out, data, length)) {
                if (out.empty()) return out;
                out += ' ';
                out.append(data + 11, 8);
                return out;
            }
            break;
        }
        case MYSQL_TYPE_DATE:
        case MYSQL_TYPE_NEWDATE: {
            std::string out;
            if (AppendDate(out, data, length)) return out;
            break;
        }
        case MYSQL_TYPE_TIME: {
            // Fractions of a second are not part of the long time format.
            const std::string_view text(data, length);
            return std::string(text.substr(0, text.find('.')));
        }
        default:
            break;
    }
    return std::string(data, length);
}

}  // namespace kdv
