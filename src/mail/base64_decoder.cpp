#include "mail/base64_decoder.h"

#include <array>
#include <string>

namespace kdv {
namespace {

// Decoded output is gathered on the stack and handed to the sink in blocks,
// so a file sink sees few large writes instead of one per group.
constexpr std::size_t kOutputBlock = 8192;

constexpr signed char kPad = -2;
constexpr signed char kSkip = -1;

constexpr std::array<signed char, 256> MakeTable() {
    std::array<signed char, 256> t{};
    for (auto& v : t) v = kSkip;
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
    t[static_cast<unsigned char>('=')] = kPad;
    return t;
}

constexpr std::array<signed char, 256> kTable = MakeTable();

}  // namespace

void TBase64Decoder::Step(std::string_view chunk) {
    char out[kOutputBlock + 3];
    std::size_t n = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(chunk.data());
    const auto* end = p + chunk.size();

    while (p < end) {
        // Fast path: four plain alphabet characters at a group boundary.
        if (count_ == 0 && padding_ == 0) {
            while (end - p >= 4) {
                const int a = kTable[p[0]], b = kTable[p[1]], c = kTable[p[2]], d = kTable[p[3]];
                if ((a | b | c | d) < 0) break;
                const unsigned v = (unsigned(a) << 18) | (unsigned(b) << 12) | (unsigned(c) << 6) | unsigned(d);
                out[n++] = static_cast<char>(v >> 16);
                out[n++] = static_cast<char>(v >> 8);
                out[n++] = static_cast<char>(v);
                p += 4;
                if (n >= kOutputBlock) {
                    sink_.Write(std::string_view(out, n));
                    n = 0;
                }
            }
            if (p >= end) break;
        }
        const signed char v = kTable[*p++];
        if (v == kSkip) continue;
        if (v == kPad) {
            // Padding only means something once at least two characters are in.
            if (count_ + padding_ >= 2) ++padding_;
            if (count_ + padding_ == 4) {
                if (count_ >= 2) out[n++] = static_cast<char>(quad_ >> (6 * count_ - 8));
                if (count_ == 3) out[n++] = static_cast<char>(quad_ >> 2);
                quad_ = 0;
                count_ = 0;
                padding_ = 0;
            }
        } else {
            if (padding_ > 0) {
                // Data after a short group's padding starts a new stream (concatenated parts).
                if (count_ >= 2) out[n++] = static_cast<char>(quad_ >> (6 * count_ - 8));
                if (count_ == 3) out[n++] = static_cast<char>(quad_ >> 2);
                quad_ = 0;
                count_ = 0;
                padding_ = 0;
            }
            quad_ = (quad_ << 6) | static_cast<unsigned>(v);
            if (++count_ == 4) {
                out[n++] = static_cast<char>(quad_ >> 16);
                out[n++] = static_cast<char>(quad_ >> 8);
                out[n++] = static_cast<char>(quad_);
                quad_ = 0;
                count_ = 0;
            }
        }
        if (n >= kOutputBlock) {
            sink_.Write(std::string_view(out, n));
            n = 0;
        }
    }
    if (n > 0) sink_.Write(std::string_view(out, n));
}

void TBase64Decoder::Finish() {
    char out[2];
    std::size_t n = 0;
    if (count_ >= 2) out[n++] = static_cast<char>(quad_ >> (6 * count_ - 8));
    if (count_ == 3) out[n++] = static_cast<char>(quad_ >> 2);
    quad_ = 0;
    count_ = 0;
    padding_ = 0;
    if (n > 0) sink_.Write(std::string_view(out, n));
}

std::string TBase64Decoder::Decode(std::string_view text) {
    std::string result;
    TStringSink sink(result);
    TBase64Decoder decoder(sink);
    decoder.Step(text);
    decoder.Finish();
    return result;
}

}  // namespace kdv
