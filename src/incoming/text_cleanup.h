#pragma once
// Clean-up of what an incoming mail brings before it goes into the journal or
// onto disk. Pure functions: no state, no failure on any input.
#include <string>
#include <string_view>

namespace kdv {

// The mail text (plain or HTML, lines separated by CR LF) as plain text:
// tags dropped (a "<" without a later ">", and a ">" outside a tag, are
// kept as text), blanks and tabs before white space or a tag dropped, the entities &quot; &apos; &gt; &lt; &amp;
// decoded, runs of empty lines shortened, and an escaped line-break tag
// turned into a CR. The caller splits the result at CR, LF or CR LF.
std::string HtmlToText(std::string_view text);

// The subject without the reply and forward markers "fw:", "wg:", "aw:" and
// "re:" (any case, anywhere in the text), trimmed of blanks and control
// characters at both ends.
std::string CleanBetreff(std::string_view subject);

// The attachment file name without the characters "#", "!", ":", "&" and "?";
// everything else, path separators included, stays.
std::string CleanDateiname(std::string_view fileName);

}  // namespace kdv
