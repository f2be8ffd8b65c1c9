#pragma once
// Streaming decoding of UUE and XXE blocks (the lines between "begin" and
// "end"). The scheme is told by the first data line.
#include "mail/byte_sink.h"

#include <string>
#include <string_view>

namespace kdv {

enum class TUueScheme { Unknown, UUE, XXE };

class TUueDecoder {
public:
    explicit TUueDecoder(TByteSink& sink) : sink_(sink) {}

    // The scheme that a first data line announces: a length character from
    // " " to "U", or "`" (none), is UUE, "h" is XXE, anything else is unknown.
    static TUueScheme DetectScheme(std::string_view first_line);

    // Whether a line can be the first data line of a UUE or XXE block: its
    // characters belong to the scheme's alphabet and its length fits the byte
    // count its first character announces (a line of only that character
    // announcing none is the empty block's padding line). Text that merely
    // follows a "begin 644 name" line fails this.
    static bool IsFirstDataLine(std::string_view line);

    // Decodes one data line (without its break). The first line fixes the
    // scheme; when it is unknown, EDiraError "Nicht erkanntes
    // UUE-Codierungsschema." is raised. Returns false for the closing "end"
    // line (any case, blanks around it ignored), which is not data.
    bool DecodeLine(std::string_view line);
    // Consumes any chunk of lines; a kept unfinished line waits for its break.
    // Returns false once the "end" line was seen (the rest is not consumed).
    bool Step(std::string_view chunk);
    // Decodes a kept last line that had no break.
    void Finish();

    TUueScheme Scheme() const { return scheme_; }
    // "UUE" or "XXE" (empty before the first data line).
    std::string SchemeName() const;

    static std::string Decode(std::string_view text);

private:
    TByteSink& sink_;
    TUueScheme scheme_ = TUueScheme::Unknown;
    bool ended_ = false;
    std::string pending_;
};

}  // namespace kdv
