#include "db/db_param.h"

#include <utility>

namespace kdv {

void TDbParam::SetAsString(const std::string& value) {
    data_type_ = TDbParamType::ptString;
    value_ = value;
    null_ = false;
}

void TDbParam::SetAsString(std::string&& value) {
    data_type_ = TDbParamType::ptString;
    value_ = std::move(value);
    null_ = false;
}

void TDbParam::SetAsInteger(std::int64_t value) {
    data_type_ = TDbParamType::ptInteger;
    value_ = std::to_string(value);
    null_ = false;
}

void TDbParam::Clear() {
    value_.clear();
    null_ = true;
}

}  // namespace kdv
