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
    // Edits are refused (EDbError 311) while *Locked is true: the connection
    // passes its connected state, since a change would not reach the server.
    explicit TDbConnectionParams(const bool* Locked = nullptr) : locked_(Locked) {}

    void Clear();
    void Add(const std::string& Line);
    // Replaces all lines with the lines of Text (LF or CR LF separated).
    void SetText(const std::string& Text);
    std::string Text() const;

    const std::vector<std::string>& Lines() const { return lines_; }
    bool Has(std::string_view Name) const;
    // The value of the first line with this name; empty when there is none.
    std::string Value(std::string_view Name) const;

private:
    void CheckUnlocked() const;
    const bool* locked_;
    std::vector<std::string> lines_;
};

}  // namespace kdv
