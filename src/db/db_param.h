#pragma once
// A named parameter of a statement, and a macro of a statement text.
#include <cstdint>
#include <string>

namespace kdv {

enum class TDbParamType { ptUnknown, ptString, ptInteger };

class TDbParam {
public:
    explicit TDbParam(std::string name) : name_(std::move(name)) {}

    const std::string& Name() const { return name_; }
    TDbParamType DataType() const { return data_type_; }

    // The value goes to the server as a string literal, byte for byte.
    void SetAsString(const std::string& value);
    // Takes the value over: a text of many megabytes is not copied.
    void SetAsString(std::string&& value);
    void SetAsInteger(std::int64_t value);
    // Back to NULL, which is also what a parameter never assigned sends.
    void Clear();

    bool IsNull() const { return null_; }
    // The value as text; empty for NULL.
    const std::string& AsString() const { return value_; }

private:
    std::string name_;
    TDbParamType data_type_ = TDbParamType::ptUnknown;
    std::string value_;
    bool null_ = true;
};

// A macro of a statement text: its value replaces the marker and the name
// before anything else is done with the text. Without a value it expands to
// nothing.
class TDbMacro {
public:
    explicit TDbMacro(std::string name) : name_(std::move(name)) {}
    const std::string& Name() const { return name_; }
    const std::string& Value() const { return value_; }
    void SetValue(const std::string& value) { value_ = value; }

private:
    std::string name_;
    std::string value_;
};

}  // namespace kdv
