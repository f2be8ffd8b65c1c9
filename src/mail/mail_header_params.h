#pragma once
// Parameters of a structured header value ("text/plain; charset=utf-8"):
// reading, setting and removing them, and quoting their values.
#include <optional>
#include <string>
#include <string_view>

namespace kdv {

// Which characters force a parameter value into double quotes.
// Mime: the MIME "tspecials" ( ) < > @ , ; : \ " / [ ] ? = (used for
// Content-Type and Content-Disposition). Rfc822: the RFC 822 "specials"
// ( ) < > @ , ; : \ " . [ ] (every other header). Both also quote blanks,
// control characters and the empty value.
enum class THeaderQuoting { Mime, Rfc822 };

// The quoting rule that applies to a header of this name.
THeaderQuoting QuotingForHeader(std::string_view headerName);

// The value's first item: the text before the first ";" outside double
// quotes, trimmed ("text/plain" of "text/plain; charset=x").
std::string HeaderItem(std::string_view value);

// The named parameter (name compared without case), unquoted: enclosing
// double quotes removed and backslash pairs resolved. Quoted values are
// returned without trimming; unquoted ones are trimmed. nullopt when absent.
std::optional<std::string> FindHeaderParam(std::string_view value, std::string_view param);

// As FindHeaderParam, with an absent parameter read as the empty string.
std::string HeaderParam(std::string_view value, std::string_view param);

// The value with the named parameter set: an existing one is replaced in
// place, a new one appended as "; name=value"; an empty paramValue removes
// it. The value is quoted when the quoting rule requires it.
std::string SetHeaderParam(std::string_view value, std::string_view param,
                           std::string_view paramValue, THeaderQuoting quoting);

// The value without every occurrence of the named parameter.
std::string RemoveHeaderParam(std::string_view value, std::string_view param);

// The text in double quotes with a backslash before every backslash and
// double quote (an RFC 822 quoted-string).
std::string QuotedString(std::string_view text);

// A parameter value as it is written: as it is when the rule allows,
// otherwise in double quotes with a backslash before every backslash and
// double quote.
std::string QuoteParamValue(std::string_view paramValue, THeaderQuoting quoting);

}  // namespace kdv
