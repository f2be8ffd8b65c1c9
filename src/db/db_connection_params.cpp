#include "db/db_connection_params.h"

#include "db/db_error.h"
#include "platform/ascii_text.h"

namespace kdv {
namespace {

std::string_view NameOf(std::string_view line) {
    return line.substr(0, line.find('='));
}

}  // namespace

void TDbConnectionParams::CheckUnlocked() const {
    if (locked_ != nullptr && *locked_) {
        throw EDbError::Layer(db_code::kParamsWhileConnected,
                              "Verbindungsparameter können nur bei geschlossener Verbindung geändert werden");
    }
}

void TDbConnectionParams::Clear() {
    CheckUnlocked();
    lines_.clear();
}

void TDbConnectionParams::Add(const std::string& line) {
    CheckUnlocked();
    lines_.push_back(line);
}

void TDbConnectionParams::SetText(const std::string& text) {
    CheckUnlocked();
    lines_.clear();
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines_.push_back(std::move(line));
        start = end + 1;
    }
}

std::string TDbConnectionParams::Text() const {
    std::string out;
    for (const auto& line : lines_) out += line + "\r\n";
    return out;
}

bool TDbConnectionParams::Has(std::string_view name) const {
    for (const auto& line : lines_) {
        if (EqualsNoCase(NameOf(line), name)) return true;
    }
    return false;
}

std::string TDbConnectionParams::Value(std::string_view name) const {
    for (const auto& line : lines_) {
        if (EqualsNoCase(NameOf(line), name)) {
            const auto eq = line.find('=');
            return eq == std::string::npos ? std::string() : line.substr(eq + 1);
        }
    }
    return {};
}

}  // namespace kdv
