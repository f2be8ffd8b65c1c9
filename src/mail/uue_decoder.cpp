#include "mail/uue_decoder.h"

#include "platform/dira_error.h"

#include <array>
#include <cstring>

namespace kdv {
namespace {

constexpr const char* kUnknownScheme = "Nicht erkanntes UUE-Codierungsschema.";

constexpr std::array<signed char, 256> MakeXxeTable() {
    std::array<signed char, 256> t{};
    for (auto& v : t) v = 0;
    const char* alphabet = "+-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
    return t;
}

constexpr std::array<signed char, 256> kXxeTable = MakeXxeTable();

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

bool IsEndLine(std::string_view line) {
    const std::string_view t = Trim(line);
    return t.size() == 3 && (t[0] | 0x20) == 'e' && (t[1] | 0x20) == 'n' && (t[2] | 0x20) == 'd';
}

}  // namespace

TUueScheme TUueDecoder::DetectScheme(std::string_view first_line) {
    if (first_line.empty()) return TUueScheme::Unknown;
    const unsigned char c = static_cast<unsigned char>(first_line[0]);
    // "`" stands for a count of zero: the padding line of an empty block.
    if ((c >= 32 && c <= 85) || c == '`') return TUueScheme::UUE;
    if (c == 'h') return TUueScheme::XXE;
    return TUueScheme::Unknown;
}

bool TUueDecoder::IsFirstDataLine(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const TUueScheme scheme = DetectScheme(line);
    if (scheme == TUueScheme::Unknown) return false;
    const auto in_alphabet = [&](unsigned char c) {
        return scheme == TUueScheme::UUE ? c >= 32 && c <= 96 : kXxeTable[c] != 0 || c == '+';
    };
    for (const char c : line)
        if (!in_alphabet(static_cast<unsigned char>(c))) return false;
    const unsigned char first = static_cast<unsigned char>(line[0]);
    const std::size_t bytes =
        scheme == TUueScheme::UUE ? static_cast<std::size_t>((first - 32) & 63) : static_cast<std::size_t>(kXxeTable[first]);
    const std::size_t chars = (bytes + 2) / 3 * 4;
    const std::size_t data = line.size() - 1;
    if (bytes == 0) return Trim(line.substr(1)).empty();
    // Encoders that strip trailing blanks shorten a line by up to a group
    // (blanks stand for zero bits); some add a check character.
    return data + 4 >= chars && data <= chars + 1;
}

std::string TUueDecoder::SchemeName() const {
    switch (scheme_) {
    case TUueScheme::UUE: return "UUE";
    case TUueScheme::XXE: return "XXE";
    case TUueScheme::Unknown: break;
    }
    return {};
}

bool TUueDecoder::DecodeLine(std::string_view line) {
    if (ended_) return false;
    if (scheme_ == TUueScheme::Unknown) {
        scheme_ = DetectScheme(line);
        if (scheme_ == TUueScheme::Unknown) throw EDiraError(TErrorKind::ekMalformed, kUnknownScheme);
    }
    if (IsEndLine(line)) {
        ended_ = true;
        return false;
    }
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (Trim(line).empty()) return true;
    // A line of only the length character says "no bytes here" (the padding line).
    if (line.size() == 1) return true;

    const bool uue = scheme_ == TUueScheme::UUE;
    const auto value = [&](std::size_t i) -> unsigned {
        // Encoders that strip trailing blanks leave lines short; a missing
        // character stands for zero bits.
        if (i >= line.size()) return 0;
        const unsigned char c = static_cast<unsigned char>(line[i]);
        return uue ? static_cast<unsigned>((c - 32) & 63) : static_cast<unsigned>(kXxeTable[c]);
    };

    std::size_t remaining = value(0);
    char out[64];
    std::size_t n = 0;
    for (std::size_t i = 1; remaining > 0; i += 4) {
        const unsigned v = value(i) << 18 | value(i + 1) << 12 | value(i + 2) << 6 | value(i + 3);
        const char bytes[3] = {static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
        for (int k = 0; k < 3 && remaining > 0; ++k, --remaining) out[n++] = bytes[k];
    }
    if (n > 0) sink_.Write(std::string_view(out, n));
    return true;
}

bool TUueDecoder::Step(std::string_view chunk) {
    while (!chunk.empty() && !ended_) {
        const void* lf = std::memchr(chunk.data(), '\n', chunk.size());
        if (lf == nullptr) {
            pending_.append(chunk);
            return true;
        }
        const std::size_t len = static_cast<const char*>(lf) - chunk.data();
        std::string line = std::move(pending_);
        pending_.clear();
        line.append(chunk.substr(0, len));
        chunk.remove_prefix(len + 1);
        DecodeLine(line);
    }
    return !ended_;
}

void TUueDecoder::Finish() {
    if (pending_.empty()) return;
    std::string line = std::move(pending_);
    pending_.clear();
    DecodeLine(line);
}

std::string TUueDecoder::Decode(std::string_view text) {
    std::string result;
    TStringSink sink(result);
    TUueDecoder decoder(sink);
    decoder.Step(text);
    decoder.Finish();
    return result;
}

}  // namespace kdv
