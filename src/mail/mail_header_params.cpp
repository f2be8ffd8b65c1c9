#include "mail/mail_header_params.h"

#include <vector>

#include "mail/mail_text_util.h"

namespace kdv {
using namespace mailtext;
namespace {

// Pieces of a header value between ";" outside double quotes; piece 0 is the
// item, the others are parameters.
std::vector<std::string_view> SplitAtSemicolons(std::string_view value) {
    std::vector<std::string_view> pieces;
    bool inQuotes = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (inQuotes && c == '\\') {
            ++i;  // the escaped character cannot end the quotes
        } else if (c == '"') {
            inQuotes = !inQuotes;
        } else if (c == ';' && !inQuotes) {
            pieces.push_back(value.substr(start, i - start));
            start = i + 1;
        }
    }
    pieces.push_back(value.substr(start));
    return pieces;
}

std::string_view ParamName(std::string_view piece) {
    const std::size_t eq = piece.find('=');
    return TrimBlanks(eq == std::string_view::npos ? piece : piece.substr(0, eq));
}

std::string ParamValue(std::string_view piece) {
    const std::size_t eq = piece.find('=');
    if (eq == std::string_view::npos) return {};
    std::string_view raw = TrimLeftBlanks(piece.substr(eq + 1));
    if (raw.empty() || raw.front() != '"') return std::string(TrimBlanks(raw));
    std::string value;
    for (std::size_t i = 1; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '"') break;
        if (c == '\\' && i + 1 < raw.size()) value += raw[++i];
        else value += c;
    }
    return value;
}

bool NeedsQuotes(std::string_view value, THeaderQuoting quoting) {
    if (value.empty()) return true;
    const std::string_view specials =
        quoting == THeaderQuoting::Mime ? std::string_view("()<>@,;:\\\"/[]?=") : std::string_view("()<>@,;:\\\".[]");
    for (const char c : value) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F || specials.find(c) != std::string_view::npos) return true;
    }
    return false;
}

}  // namespace

THeaderQuoting QuotingForHeader(std::string_view headerName) {
    const std::string_view name = TrimBlanks(headerName);
    return EqualsNoCase(name, "Content-Type") || EqualsNoCase(name, "Content-Disposition") ? THeaderQuoting::Mime
                                                                                          : THeaderQuoting::Rfc822;
}

std::string HeaderItem(std::string_view value) {
    return std::string(TrimBlanks(SplitAtSemicolons(value).front()));
}

std::optional<std::string> FindHeaderParam(std::string_view value, std::string_view param) {
    const auto pieces = SplitAtSemicolons(value);
    const std::string_view wanted = TrimBlanks(param);
    for (std::size_t i = 1; i < pieces.size(); ++i) {
        if (pieces[i].find('=') != std::string_view::npos && EqualsNoCase(ParamName(pieces[i]), wanted)) {
            return ParamValue(pieces[i]);
        }
    }
    return std::nullopt;
}

std::string HeaderParam(std::string_view value, std::string_view param) {
    return FindHeaderParam(value, param).value_or(std::string());
}

std::string SetHeaderParam(std::string_view value, std::string_view param, std::string_view paramValue,
                           THeaderQuoting quoting) {
    const auto pieces = SplitAtSemicolons(value);
    const std::string_view wanted = TrimBlanks(param);
    std::string result(TrimBlanks(pieces.front()));
    bool placed = paramValue.empty();
    for (std::size_t i = 1; i < pieces.size(); ++i) {
        const std::string_view piece = TrimBlanks(pieces[i]);
        if (piece.empty()) continue;
        if (EqualsNoCase(ParamName(piece), wanted)) {
            if (placed) continue;  // removal, or a duplicate of the one already replaced
            placed = true;
            result += "; ";
            result += wanted;
            result += '=';
            result += QuoteParamValue(paramValue, quoting);
            continue;
        }
        result += "; ";
        result += piece;
    }
    if (!placed) {
        result += "; ";
        result += wanted;
        result += '=';
        result += QuoteParamValue(paramValue, quoting);
    }
    return result;
}

std::string RemoveHeaderParam(std::string_view value, std::string_view param) {
    return SetHeaderParam(value, param, {}, THeaderQuoting::Mime);
}

std::string QuotedString(std::string_view text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '\\' || c == '"') quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

std::string QuoteParamValue(std::string_view paramValue, THeaderQuoting quoting) {
    if (!NeedsQuotes(paramValue, quoting)) return std::string(paramValue);
    return QuotedString(paramValue);
}

}  // namespace kdv
