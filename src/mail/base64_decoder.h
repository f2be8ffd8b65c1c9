#pragma once
// Streaming base64 decoding: groups of four characters may straddle calls.
#include "mail/byte_sink.h"

#include <string_view>

namespace kdv {

class TBase64Decoder {
public:
    explicit TBase64Decoder(TByteSink& sink) : sink_(sink) {}

    // Decodes as much as forms whole groups and keeps the remainder for the
    // next call. Characters outside the alphabet (line breaks, blanks, stray
    // bytes) are skipped so one of them cannot shift every later group.
    void Step(std::string_view chunk);
    // Decodes a remainder of two or three characters as if "=" padded it; a
    // single dangling character carries no whole byte and is dropped.
    void Finish();

    // Whole-string convenience for encoded words and tests.
    static std::string Decode(std::string_view text);

private:
    TByteSink& sink_;
    unsigned quad_ = 0;   // six-bit values gathered so far, most recent lowest
    int count_ = 0;       // how many of the four are gathered
    int padding_ = 0;     // "=" seen in the current group
};

}  // namespace kdv
