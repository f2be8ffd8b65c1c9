#pragma once
// Where the MIME reader takes the lines of one mail from. Two kinds stand
// behind it: a live transfer (the answer to POP3 "RETR": lines with a leading
// dot doubled, ended by a line "." alone) and a mail's text as it stands (in
// memory or in a file, ended by the end of the data). Both are read by the
// one line reader, so their lines end alike.
#include <string_view>

#include "platform/line_reader.h"

namespace kdv {

class TTextEncoding;

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
    // A mail's text gives every line as it stands, "." and ".." lines
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
