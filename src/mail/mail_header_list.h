#pragma once
// An ordered list of header lines ("Name: value"), with continuation lines
// of folded headers stored as lines of their own.
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mail/mail_header_params.h"

namespace kdv {

// Header lines longer than this are folded when a value is set; it keeps
// written lines well inside the 998-character limit of Internet mail.
inline constexpr std::size_t kHeaderFoldLength = 78;

class TMailHeaderList {
public:
    // separator: what stands between name and value in a stored line; ": "
    // for mail headers, "=" for "name=value" lists. Lookup splits a line at
    // the separator's first non-blank character.
    explicit TMailHeaderList(std::string separator = ": ");

    // --- raw lines -------------------------------------------------------
    std::size_t Count() const { return lines_.size(); }
    bool Empty() const { return lines_.empty(); }
    const std::string& operator[](std::size_t index) const { return lines_.at(index); }
    const std::vector<std::string>& Lines() const { return lines_; }
    auto begin() const { return lines_.begin(); }
    auto end() const { return lines_.end(); }
    // Appends one line as it is (received headers, continuation lines included).
    void Add(std::string line);
    // Removes line `index` and the continuation lines that follow it.
    void Delete(std::size_t index);
    void Clear() { lines_.clear(); }
    // Replaces the content by a copy of another list's lines.
    void Assign(const TMailHeaderList& other) { lines_ = other.lines_; }
    // All lines, each ended by CR LF.
    std::string Text() const;

    // --- headers by name (case-insensitive, first occurrence) --------------
    // Index of the first line whose name equals `name`, or -1.
    int IndexOfName(std::string_view name) const;
    // Name of line `index` (empty for a continuation line or a line
    // without separator).
    std::string Name(std::size_t index) const;
    // Unfolded value of the header that starts at line `index`: the text
    // after the separator, trimmed, each continuation line appended after
    // one blank, both sides trimmed.
    std::string ValueAt(std::size_t index) const;
    // Unfolded value of the first header of that name; empty when absent.
    std::string Values(std::string_view name) const;
    // Replaces the first header of that name in place (dropping its old
    // continuation lines) or appends it; an empty value removes it. Line
    // breaks inside the value become single blanks, so a value can never
    // end the header block or start a header of its own. Long lines fold.
    void SetValue(std::string_view name, std::string_view value);
    // Appends a header even when one of that name exists (folded as above);
    // an empty value appends nothing.
    void AddValue(std::string_view name, std::string_view value);
    // Removes the first header of that name with its continuation lines.
    void Remove(std::string_view name);
    // Every header in order as (name, unfolded value).
    std::vector<std::pair<std::string, std::string>> Unfolded() const;

    // --- parameters --------------------------------------------------------
    // Parameter of the named header; MIME quoting for Content-Type and
    // Content-Disposition, RFC 822 quoting otherwise.
    std::string Params(std::string_view name, std::string_view param) const;
    // Sets (empty: removes) a parameter of the named header, creating the
    // header when absent.
    void SetParams(std::string_view name, std::string_view param, std::string_view value);

    const std::string& Separator() const { return separator_; }

private:
    std::vector<std::string> FoldedLines(std::string_view name, std::string_view value) const;

    std::string separator_;
    char nameEnd_;
    std::vector<std::string> lines_;
};

// Breaks one header line into pieces of at most `foldLength` characters
// where possible: after the last blank, tab or comma within the limit and
// outside double quotes (the first one after it when there is none within).
// Continuation pieces start with one blank; blanks and tabs after a break
// are skipped and every piece is stripped of trailing blanks. `minBreak`
// keeps the first break behind the header name.
std::vector<std::string> FoldHeaderLine(std::string_view line, std::size_t foldLength = kHeaderFoldLength,
                                        std::size_t minBreak = 0);

}  // namespace kdv
