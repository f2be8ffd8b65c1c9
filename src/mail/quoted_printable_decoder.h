#pragma once
// Streaming quoted-printable decoding, line by line, with soft line breaks.
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
    // Decodes a kept last line that had no break.
    void Finish();

    static std::string Decode(std::string_view text);

private:
    void Process(std::string_view line, bool had_break);

    TByteSink& sink_;
    std::string pending_;
    std::string out_;  // reused for every line, so decoding a line allocates nothing
};

}  // namespace kdv
