#include "db/db_param.h"

#include <utility>

namespace kdv {

void TDbParam::SetAsString(const std::string& Value) {
    FDataType = TDbParamType::ptString;
    FValue = Value;
    FNull = false;
}

void TDbParam::SetAsString(std::string&& Value) {
    FDataType = TDbParamType::ptString;
    FValue = std::move(Value);
    FNull = false;
}

void TDbParam::SetAsInteger(std::int64_t Value) {
    FDataType = TDbParamType::ptInteger;
    FValue = std::to_string(Value);
    FNull = false;
}

void TDbParam::Clear() {
    FValue.clear();
    FNull = true;
}

}  // namespace kdv
