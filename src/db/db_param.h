#pragma once
// A named parameter of a statement, and a macro of a statement text.
#include <cstdint>
#include <string>

namespace kdv {

enum class TDbParamType { ptUnknown, ptString, ptInteger };

class TDbParam {
public:
    explicit TDbParam(std::string Name) : FName(std::move(Name)) {}

    const std::string& Name() const { return FName; }
    TDbParamType DataType() const { return FDataType; }

    // The value goes to the server as a string literal, byte for byte.
    void SetAsString(const std::string& Value);
    // Takes the value over: a text of many megabytes is not copied.
    void SetAsString(std::string&& Value);
    void SetAsInteger(std::int64_t Value);
    // Back to NULL, which is also what a parameter never assigned sends.
    void Clear();

    bool IsNull() const { return FNull; }
    // The value as text; empty for NULL.
    const std::string& AsString() const { return FValue; }

private:
    std::string FName;
    TDbParamType FDataType = TDbParamType::ptUnknown;
    std::string FValue;
    bool FNull = true;
};

// A macro of a statement text: its value replaces the marker and the name
// before anything else is done with the text. Without a value it expands to
// nothing.
class TDbMacro {
public:
    explicit TDbMacro(std::string Name) : FName(std::move(Name)) {}
    const std::string& Name() const { return FName; }
    const std::string& Value() const { return FValue; }
    void SetValue(const std::string& Value) { FValue = Value; }

private:
    std::string FName;
    std::string FValue;
};

}  // namespace kdv
