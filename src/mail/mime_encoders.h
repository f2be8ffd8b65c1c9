#pragma once
// Streaming encoders for the transfer encodings the writer produces. Each
// keeps its state between Step calls and is flushed by Finish, so content of
// any size passes through a fixed-size buffer. Output is appended to a
// string the caller drains as it likes.
#include <cstddef>
#include <string>
#include <string_view>

namespace kdv {

// Base64 in lines of kBase64LineLength characters, each ended by CR LF.
class TBase64Encoder {
public:
    // Input bytes per output line: 57 bytes make 76 characters, the longest
    // line RFC 2045 allows for base64.
    static constexpr std::size_t kInputPerLine = 57;
    static constexpr std::size_t kBase64LineLength = 76;

    void Step(std::string_view bytes, std::string& out);
    // Writes the last (shorter, "="-padded) line; nothing when no bytes are left.
    void Finish(std::string& out);

private:
    void EncodeLines(const unsigned char* in, std::size_t lines, std::string& out);

    char pending_[kInputPerLine];
    std::size_t pendingSize_ = 0;
};

// Quoted-printable of text: an input line ends at LF (a CR right before it is
// dropped) and becomes an output line ended by CR LF; longer lines get soft
// breaks. A "." at the start of an output line is written "=2E", so the
// result never needs dot-stuffing.
class TQuotedPrintableEncoder {
public:
    // Soft break once an output line has reached this many characters; the
    // longest piece is 3 characters and the "=" of the break one more, so
    // lines stay at 73 at most, inside RFC 2045's 76.
    static constexpr std::size_t kSoftBreakAt = 70;

    void Step(std::string_view bytes, std::string& out);
    // Ends an unterminated last line with CR LF; nothing when the input ended
    // with a line break (or was empty).
    void Finish(std::string& out);

private:
    void PutByte(unsigned char c, bool literal, std::string& out);
    void EndLine(std::string& out);

    std::size_t column_ = 0;      // characters on the current output line
    bool pendingCr_ = false;      // a CR waits to see whether LF follows
    int heldBlank_ = -1;          // a blank or tab that may end its line
};

}  // namespace kdv
