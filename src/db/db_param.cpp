#include "db/db_param.h"

#include <utility>

namespace kdv {

void TDbParam::SetAsString(const std::string& Value) {
    data_type_ = TDbParamType::ptString;
    value_ = Value;
    null_ = false;
}

void TDbParam::SetAsString(std::string&& Value) {
    data_type_ = TDbParamType::ptString;
    value_ = std::move(Value);
    null_ = false;
}

void TDbParam::SetAsInteger(std::int64_t Value) {
    data_type_ = TDbParamType::ptInteger;
    value_ = std::to_string(Value);
    null_ = false;
}

void TDbParam::Clear() {
    value_.clear();
    null_ = true;
}

}  // namespace kdv
