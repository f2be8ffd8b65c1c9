#pragma once
// Where the MIME reader takes its lines from. A live mail connection and a
// mail held in memory both present a dot-terminated transfer: a line "."
// alone ends the message and a leading ".." stands for ".".
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

    // Reads the next line of the transfer as raw bytes, without its
    // terminator and with a leading ".." reduced to ".". Returns false at the
    // end of the message (the "." line, which is not data); every later call
    // returns false too. The view is valid until the next call. Read failures
    // (a lost connection, an over-long line) are raised as EDiraError.
    virtual bool ReadLnRFC(std::string_view& line, TLineTerminator terminator) = 0;

    // How bytes become text where nothing declares their charset (header lines).
    virtual const TTextEncoding& DefStringEncoding() const = 0;
};

}  // namespace kdv
