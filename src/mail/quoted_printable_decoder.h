#pragma once
// Streaming quoted-printable decoding, line by line, with soft line breaks.
// An "=" that starts no valid escape (two hex digits, or the line's end) is
// kept as written, with what follows it.
#include "mail/byte_sink.h"

#include <string>
#include <string_view>

namespace kdv {

class TQuotedPrintableDecoder {
public:
    explicit TQuotedPrintableDecoder(TByteSink& sink) : sink_(sink) {}

    // Decodes every whole line (ended by LF or CR LF) in the chunk; an
    // unfinished line is kept until its break arrives or Finish is called.
    void Step(std::string_view chunk);
    // Decodes one line that had a line break after it (the break itself not
    // included): the same as Step(line + "\r\n") without the copy.
    void DecodeLine(std::string_view line);
    // Decodes one line that had a line break after it, without writing that
    // break. Returns true for a hard break (the caller writes the break it
    // wants, or none at the end of the content), false for a soft one.
    bool DecodeLineContent(std::string_view line);
    // Decodes a kept last line that had no break.
    void Finish();

    static std::string Decode(std::string_view text);

private:
    // Writes the decoded line, followed by `hard_break` unless the line ends
    // in a soft break; returns whether it did not.
    bool Process(std::string_view line, bool had_break, std::string_view hard_break);

    TByteSink& sink_;
    std::string pending_;
    std::string out_;  // reused for every line, so decoding a line allocates nothing
};

}  // namespace kdv
