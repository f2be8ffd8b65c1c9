#pragma once
// The one pass over a statement text before it goes to the server:
//  - ":name" outside quoted literals, quoted names and comments is a
//    parameter marker and becomes "?"; "::" is a literal ":". A ":" stays as
//    it is before the end, a blank, tab, CR, LF or "=", and after a letter,
//    digit, "_", "#" or "$" (so "10:30" and ":=" survive).
//  - "!name" and "&name" are macro markers everywhere, inside literals and
//    comments too; they are replaced by the macro's value, which is empty
//    unless one was assigned. A marker before the end, a blank, tab, CR, LF,
//    "&", "'", "<", "=" or ">" stays ("&&", "!=" survive); "!!" is a literal "!".
//  - Quoted literals ('...', "...") and names (`...`) end at their closing
//    quote; a doubled quote stays inside, a backslash makes the next
//    character ordinary. Block comments run to "*/", "--" comments to the
//    line end; "/*!" opens a section that is read as SQL.
//  - CR LF and single CR outside quoted literals become LF.
//  - "{" and "?" are ordinary characters.
// Names are letters (any Unicode letter), digits, "_", "#" and "$", at most
// kMaxIdentifierChars characters, and compared without regard to case.
//
// The consequence for anyone who splices values into a statement text: only
// numbers, and single-quoted texts with doubled quotes that hold no backslash
// and no "!" or "&" before a name character, are safe; anything else must go
// in as a parameter, whose value is never preprocessed.
#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kdv {

// Longest parameter or macro name, in characters; a longer one is a fault
// in the statement text, not a name.
inline constexpr std::size_t kMaxIdentifierChars = 255;

// Macro values by folded name (see FoldIdentifier); a missing name expands
// to nothing.
using TSqlMacroValues = std::unordered_map<std::string, std::string>;

struct TPreprocessedSql {
    std::string Text;                        // for the server; "?" at each parameter marker
    std::vector<std::string> ParamNames;     // distinct, in order of first use, as written
    std::vector<std::size_t> MarkerOffsets;  // byte offset of each marker's "?" in Text
    std::vector<std::size_t> MarkerParams;   // index into ParamNames for each marker
    std::vector<std::string> MacroNames;     // distinct, in order of first use, as written
};

// Raises EDbError (code 305, "Bezeichner zu lang (> 255)") for a name that
// is too long; nothing else in a text is an error here.
TPreprocessedSql PreprocessSql(std::string_view text, const TSqlMacroValues* macro_values = nullptr);

// The form in which two names compare equal when they differ only in case.
std::string FoldIdentifier(std::string_view name);

}  // namespace kdv
