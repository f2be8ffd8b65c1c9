#pragma once
// Clean-up of what an incoming mail brings before it goes into the journal or
// onto disk. No function fails on any input.
#include <memory>
#include <string>
#include <string_view>

namespace kdv {

// An HTML text turned into the plain text a reader of the rendered page sees,
// fed in pieces of any size (a piece may end inside a tag or a character):
// - block elements and <br> end lines; list items get lines of their own
//   ("- " or "1. " before them, indented per nesting level); the cells of a
//   table row share a line, separated by a tab; the lines of a quoted block
//   (<blockquote>) start with one ">" per level and a blank;
// - head, title, style, script and elements styled "display:none" are dropped;
// - every named and numeric character reference is decoded, a no-break space
//   becomes a blank, and references to 128-159 give their Windows-1252 letters;
// - white space collapses as a browser shows it, except inside <pre>;
// - consecutive paragraphs (<p>, headings) are separated by one empty line,
//   except the zero-margin paragraphs of Office ("Mso" classes);
// - at most one empty line in a row, none at the start or the end, no blanks
//   at line ends; lines are separated by CR LF, the last one has no break.
// The input is UTF-8 whatever a <meta> charset in it says; bytes that are no
// valid UTF-8 become U+FFFD, and NUL and other control characters are dropped.
class THtmlTextConverter {
public:
    THtmlTextConverter();
    ~THtmlTextConverter();
    THtmlTextConverter(const THtmlTextConverter&) = delete;
    THtmlTextConverter& operator=(const THtmlTextConverter&) = delete;

    // Takes the next piece of the HTML text. Ignored after Finish.
    void Feed(std::string_view html);
    // Ends the input and returns the text; empty on a second call.
    std::string Finish();

private:
    struct TState;
    std::unique_ptr<TState> state_;
};

// The whole HTML text at once through THtmlTextConverter.
std::string HtmlToText(std::string_view html);

// The subject without the reply and forward markers ("AW:", "WG:", "RE:",
// "FW:", "FWD:", any case, repeated, each with the blanks after it) at its
// start, with every control character turned into a blank, trimmed at both
// ends.
std::string CleanBetreff(std::string_view subject);

// The attachment file name without the characters "#", "!", ":", "&" and "?";
// everything else, path separators included, stays.
std::string CleanDateiname(std::string_view fileName);

}  // namespace kdv
