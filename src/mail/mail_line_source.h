#pragma once
// Where the MIME reader takes the lines of one mail from. Two kinds stand
// behind it: a live transfer (the answer to POP3 "RETR": lines with a leading
// dot doubled, ended by a line "." alone) and a mail held in memory (its bytes
// as they stand, ended by the end of the data).
#include <string_view>

namespace kdv {

class TTextEncoding;

enum class TLineTerminator {
    LF,    // a line ends at LF; a CR right before it is dropped too
    CRLF,  // a line ends only at CR LF; a bare LF or CR is part of the line
};

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
