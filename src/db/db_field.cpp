#include "db/db_field.h"

#include <charconv>

#include "db/db_error.h"
#include "db/db_query.h"

namespace kdv {
namespace {

// "yyyy-mm-dd" to "dd.mm.yyyy"; an all-zero date, which no calendar holds,
// reads as empty.
bool AppendDate(std::string& Out, const char* Data, std::size_t Length) {
    if (Length < 10 || Data[4] != '-' || Data[7] != '-') return false;
    if (std::string_view(Data, 10) == "0000-00-00") return true;
    Out.append(Data + 8, 2);
    Out += '.';
    Out.append(Data + 5, 2);
    Out += '.';
    Out.append(Data, 4);
    return true;
}

}  // namespace

TDbField::TDbField(TDbQuery& Query, std::size_t Index, std::string Name, enum_field_types Type)
    : query_(&Query), index_(Index), name_(std::move(Name)), type_(Type) {}

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

std::string FormatDbValue(enum_field_types Type, const char* Data, std::size_t Length) {
    switch (Type) {
        case MYSQL_TYPE_DATETIME:
        case MYSQL_TYPE_TIMESTAMP: {
            std::string out;
            if (Length >= 19 && AppendDate(out, Data, Length)) {
                if (out.empty()) return out;
                out += ' ';
                out.append(Data + 11, 8);
                return out;
            }
            break;
        }
        case MYSQL_TYPE_DATE:
        case MYSQL_TYPE_NEWDATE: {
            std::string out;
            if (AppendDate(out, Data, Length)) return out;
            break;
        }
        case MYSQL_TYPE_TIME: {
            // Fractions of a second are not part of the long time format.
            const std::string_view text(Data, Length);
            return std::string(text.substr(0, text.find('.')));
        }
        default:
            break;
    }
    return std::string(Data, Length);
}

}  // namespace kdv
