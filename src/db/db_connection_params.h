#pragma once
// The parameters of a database connection as "Name=Value" lines. Names are
// compared without regard to case; a value is everything after the first
// "=", unchanged (a password may hold blanks or "="). When a name occurs
// twice, the first line counts.
//
// Known names: DriverID (must be "MySQL"), Server, Port (default 3306),
// Database, User_Name, Password, CharacterSet, LoginTimeout, ReadTimeout,
// WriteTimeout (seconds), Compress, UseSSL (True/False), VendorLib (the
// client library to load instead of the default names). Protocol and
// ResultMode are kept and not read: every result set is taken over whole
// when its statement runs. Other names are kept and ignored.
#include <string>
#include <string_view>
#include <vector>

namespace kdv {

class TDbConnectionParams {
public:
    // Edits are refused (EDbError 311) while *locked is true: the connection
    // passes its connected state, since a change would not reach the server.
    explicit TDbConnectionParams(const bool* locked = nullptr) : locked_(locked) {}

    void Clear();
    void Add(const std::string& line);
    // Replaces all lines with the lines of `text` (LF or CR LF separated).
    void SetText(const std::string& text);
    std::string Text() const;

    const std::vector<std::string>& Lines() const { return lines_; }
    bool Has(std::string_view name) const;
    // The value of the first line with this name; empty when there is none.
    std::string Value(std::string_view name) const;

private:
    void CheckUnlocked() const;
    const bool* locked_;
    std::vector<std::string> lines_;
};

}  // namespace kdv
