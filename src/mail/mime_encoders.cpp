#include "mail/mime_encoders.h"

#include <array>
#include <cstring>

namespace kdv {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHex[] = "0123456789ABCDEF";

// Two output characters for every 12 input bits: half the table lookups of a
// character-by-character encoder, and the table (8 KiB) stays in the cache.
const std::array<char, 8192>& PairTable() {
    static const std::array<char, 8192> table = [] {
        std::array<char, 8192> t{};
        for (std::size_t i = 0; i < 4096; ++i) {
            t[2 * i] = kAlphabet[i >> 6];
            t[2 * i + 1] = kAlphabet[i & 63];
        }
        return t;
    }();
    return table;
}

}  // namespace

void TBase64Encoder::EncodeLines(const unsigned char* in, std::size_t lines, std::string& out) {
    constexpr std::size_t kOutPerLine = kBase64LineLength + 2;
    const std::size_t start = out.size();
    out.resize(start + lines * kOutPerLine);
    char* dst = out.data() + start;
    const char* pairs = PairTable().data();
    for (std::size_t l = 0; l < lines; ++l) {
        for (std::size_t i = 0; i < kInputPerLine; i += 3) {
            const unsigned v = static_cast<unsigned>(in[i]) << 16 | static_cast<unsigned>(in[i + 1]) << 8 | in[i + 2];
            std::memcpy(dst, pairs + 2 * (v >> 12), 2);
            std::memcpy(dst + 2, pairs + 2 * (v & 0xFFF), 2);
            dst += 4;
        }
        dst[0] = '\r';
        dst[1] = '\n';
        dst += 2;
        in += kInputPerLine;
    }
}

void TBase64Encoder::Step(std::string_view bytes, std::string& out) {
    auto in = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t size = bytes.size();
    if (pendingSize_ > 0) {
        const std::size_t take = std::min(size, kInputPerLine - pendingSize_);
        std::memcpy(pending_ + pendingSize_, in, take);
        pendingSize_ += take;
        in += take;
        size -= take;
        if (pendingSize_ < kInputPerLine) return;
        EncodeLines(reinterpret_cast<const unsigned char*>(pending_), 1, out);
        pendingSize_ = 0;
    }
    const std::size_t lines = size / kInputPerLine;
    if (lines > 0) EncodeLines(in, lines, out);
    in += lines * kInputPerLine;
    size -= lines * kInputPerLine;
    std::memcpy(pending_, in, size);
    pendingSize_ = size;
}

void TBase64Encoder::Finish(std::string& out) {
    const auto in = reinterpret_cast<const unsigned char*>(pending_);
    for (std::size_t i = 0; i < pendingSize_; i += 3) {
        const std::size_t n = std::min<std::size_t>(3, pendingSize_ - i);
        unsigned v = static_cast<unsigned>(in[i]) << 16;
        if (n > 1) v |= static_cast<unsigned>(in[i + 1]) << 8;
        if (n > 2) v |= in[i + 2];
        out += kAlphabet[v >> 18 & 63];
        out += kAlphabet[v >> 12 & 63];
        out += n > 1 ? kAlphabet[v >> 6 & 63] : '=';
        out += n > 2 ? kAlphabet[v & 63] : '=';
    }
    if (pendingSize_ > 0) out += "\r\n";
    pendingSize_ = 0;
}

void TQuotedPrintableEncoder::PutByte(unsigned char c, bool literal, std::string& out) {
    // The break goes in front of the next piece rather than after the last
    // one, so a line never ends in a soft break followed by an empty line.
    if (column_ >= kSoftBreakAt) {
        out += "=\r\n";
        column_ = 0;
    }
    if (literal && !(c == '.' && column_ == 0)) {
        out += static_cast<char>(c);
        ++column_;
        return;
    }
    out += '=';
    out += kHex[c >> 4];
    out += kHex[c & 15];
    column_ += 3;
}

void TQuotedPrintableEncoder::EndLine(std::string& out) {
    out += "\r\n";
    column_ = 0;
}

void TQuotedPrintableEncoder::Step(std::string_view bytes, std::string& out) {
    // A blank or tab is held back until the next byte shows whether it ends
    // its line (then it must be encoded, since transports strip line-end blanks).
    const auto releaseBlank = [&](bool endsLine) {
        if (heldBlank_ < 0) return;
        PutByte(static_cast<unsigned char>(heldBlank_), !endsLine, out);
        heldBlank_ = -1;
    };
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (pendingCr_) {
            pendingCr_ = false;
            if (c == '\n') {
                releaseBlank(true);
                EndLine(out);
                continue;
            }
            releaseBlank(false);
            PutByte('\r', false, out);
        }
        if (c == '\r') {
            pendingCr_ = true;
            continue;
        }
        if (c == '\n') {
            releaseBlank(true);
            EndLine(out);
            continue;
        }
        releaseBlank(false);
        if (c == ' ' || c == '\t') {
            heldBlank_ = c;
            continue;
        }
        PutByte(c, c >= 33 && c <= 126 && c != '=', out);
    }
}

void TQuotedPrintableEncoder::Finish(std::string& out) {
    if (heldBlank_ >= 0) {
        // Followed by a lone CR it is not the line's last byte.
        PutByte(static_cast<unsigned char>(heldBlank_), pendingCr_, out);
        heldBlank_ = -1;
    }
    if (pendingCr_) {
        PutByte('\r', false, out);
        pendingCr_ = false;
    }
    // Content that does not end with a line break must not gain one: a soft
    // break closes the output line without adding a byte.
    if (column_ > 0) {
        out += "=\r\n";
        column_ = 0;
    }
}

}  // namespace kdv
