#pragma once
// Where the MIME reader takes the lines of one mail from. Two kinds stand
// behind it: a live transfer (the answer to POP3 "RETR": lines with a leading
// dot doubled, ended by a line "." alone) and a mail held in memory (its bytes
// as they stand, ended by the end of the data).
#include <cstddef>
#include <string_view>

namespace kdv {

class TTextEncoding;

enum class TLineTerminator {
    LF,    // a line ends at LF; a CR right before it is dropped too
    CRLF,  // a line ends only at CR LF; a bare LF or CR is part of the line
};

// Where lines end in a mail's own text (a mail in memory, a spooled mail).
// CR LF is one break. A CR alone ends a line in either terminator mode: mail
// saved by old programs breaks its lines so, and a server that stores such an
// upload puts its own header lines with CR LF on top of it, so one mail may
// hold both. An LF alone ends a line in LF mode; in CR LF mode only in a mail
// whose first line break is a bare one (a mail saved with LF or CR breaks).
struct TLineBreakAt {
    std::size_t At;      // where the break begins; with Length 0, where a later search resumes
    std::size_t Length;  // 1 or 2; 0 when `data` holds no break (yet)
};

// The first line break in `data` at or after `from`. `complete` tells that no
// byte follows `data`: a CR at its very end is then a break, otherwise the
// next byte decides.
TLineBreakAt FindLineBreak(std::string_view data, std::size_t from, TLineTerminator terminator,
                           bool bare_lf_breaks, bool complete);

// Whether the mail whose text begins with `head` breaks its lines with a bare
// LF or CR. Returns false with `decided` false when `head` does not tell yet
// (no break in it, or a CR at its end while more may follow); with
// `complete`, a text without a break counts as CR LF.
bool FirstBreakIsBare(std::string_view head, bool complete, bool& decided);

class TMailLineSource {
public:
    virtual ~TMailLineSource() = default;

    // Reads the next line of the mail as raw bytes, without its line break.
    // Returns false at the end of the mail; every later call returns false
    // too. The view is valid until the next call.
    // A live transfer reduces a leading ".." to "." and ends at the line "."
    // (which is not data). A transfer that stops before that line is an
    // incomplete mail, never a complete one: EDiraError is raised, as for a
    // lost connection or an over-long line.
    // A mail in memory gives every line as it stands, "." and ".." lines
    // included, and ends where its data end.
    virtual bool ReadLnRFC(std::string_view& line, TLineTerminator terminator) = 0;

    // The line break that ended the line last read ("\r\n", "\n" or "\r"),
    // empty when the data ended without one. Content that is kept byte for
    // byte keeps its own line breaks.
    virtual std::string_view LineBreak() const = 0;

    // How bytes become text where nothing declares their charset (header lines).
    virtual const TTextEncoding& DefStringEncoding() const = 0;
};

}  // namespace kdv
