#include "mail/charset.h"

#include <array>
#include <cstdint>
#include <map>
#include <mutex>

#include "mail/charset_table.h"
#include "platform/code_page_converter.h"
#include "platform/unicode_chars.h"
#include "platform/utf8_text.h"

namespace kdv {

TTextEncoding::~TTextEncoding() = default;

namespace {

constexpr char kUnrepresentable = '?';

constexpr int kCodePageUtf16LE = 1200;
constexpr int kCodePageUtf16BE = 1201;
constexpr int kCodePageUtf32LE = 12000;
constexpr int kCodePageUtf32BE = 12001;
constexpr int kCodePageWindows1252 = 1252;
constexpr int kCodePageUsAscii = 20127;
constexpr int kCodePageLatin1 = 28591;
constexpr int kCodePageUtf7 = 65000;
constexpr int kCodePageUtf8 = 65001;

// Marks a broken sequence for the callers of ForEachChar.
constexpr char32_t kInvalid = 0xFFFFFFFF;

// Calls sink(c) for every character of UTF-8 text; an invalid sequence is
// reported as kInvalid.
template <typename Sink>
void ForEachChar(std::string_view utf8, Sink&& sink) {
    while (!utf8.empty()) {
        const TUtf8Char c = DecodeUtf8Char(utf8);
        sink(c.Valid ? c.Code : kInvalid);
        utf8.remove_prefix(c.Length);
    }
}

std::string SanitizeUtf8(std::string_view bytes) {
    if (IsValidUtf8(bytes)) {
        return std::string(bytes);
    }
    std::string out;
    out.reserve(bytes.size() + 8);
    ForEachChar(bytes, [&out](char32_t c) { AppendUtf8(out, c == kInvalid ? kReplacementChar : c); });
    return out;
}

std::string Windows1252ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 8);
    for (const char ch : bytes) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte >= 0x80 && byte <= 0x9F) {
            AppendUtf8(out, kWindows1252High[byte - 0x80]);
        } else {
            AppendUtf8(out, byte);
        }
    }
    return out;
}

// ---------------------------------------------------------------- single-byte

class TLatin1Encoding final : public TTextEncoding {
public:
    std::string ToUtf8(std::string_view bytes) const override { return Latin1ToUtf8(bytes); }
    std::string FromUtf8(std::string_view utf8) const override {
        std::string out;
        out.reserve(utf8.size());
        ForEachChar(utf8, [&out](char32_t c) {
            out += c <= 0xFF ? static_cast<char>(c) : kUnrepresentable;
        });
        return out;
    }
    int CodePage() const override { return kCodePageLatin1; }
};

class TWindows1252Encoding final : public TTextEncoding {
public:
    std::string ToUtf8(std::string_view bytes) const override { return Windows1252ToUtf8(bytes); }
    std::string FromUtf8(std::string_view utf8) const override {
        std::string out;
        out.reserve(utf8.size());
        ForEachChar(utf8, [&out](char32_t c) { out += FromChar(c); });
        return out;
    }
    int CodePage() const override { return kCodePageWindows1252; }

private:
    static char FromChar(char32_t c) {
        if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
            return static_cast<char>(c);
        }
        for (std::size_t i = 0; i < kWindows1252High.size(); ++i) {
            if (kWindows1252High[i] == c) {
                return static_cast<char>(0x80 + i);
            }
        }
        return kUnrepresentable;
    }
};

// Undeclared or US-ASCII text: mail programs put raw 8-bit text into such
// mails, today as UTF-8 and before that in the Windows code page. A text that
// is valid UTF-8 as a whole is taken as UTF-8; any other is Windows-1252, where
// every byte is a character and nothing is lost.
class TUndeclaredEncoding final : public TTextEncoding {
public:
    std::string ToUtf8(std::string_view bytes) const override {
        if (IsValidUtf8(bytes)) {
            return std::string(bytes);
        }
        return Windows1252ToUtf8(bytes);
    }
    std::string FromUtf8(std::string_view utf8) const override {
        std::string out;
        out.reserve(utf8.size());
        ForEachChar(utf8, [&out](char32_t c) {
            out += c < 0x80 ? static_cast<char>(c) : kUnrepresentable;
        });
        return out;
    }
    int CodePage() const override { return kCodePageUsAscii; }
};

// ---------------------------------------------------------------- Unicode

class TUtf8Encoding final : public TTextEncoding {
public:
    std::string ToUtf8(std::string_view bytes) const override {
        // A byte-order mark is a signature, not text.
        if (bytes.starts_with("\xEF\xBB\xBF")) {
            bytes.remove_prefix(3);
        }
        return SanitizeUtf8(bytes);
    }
    std::string FromUtf8(std::string_view utf8) const override {
        if (IsValidUtf8(utf8)) {
            return std::string(utf8);
        }
        std::string out;
        out.reserve(utf8.size());
        ForEachChar(utf8, [&out](char32_t c) {
            if (c == kInvalid) {
                out += kUnrepresentable;
            } else {
                AppendUtf8(out, c);
            }
        });
        return out;
    }
    int CodePage() const override { return kCodePageUtf8; }
};

class TUtf16Encoding final : public TTextEncoding {
public:
    explicit TUtf16Encoding(bool bigEndian) : bigEndian_(bigEndian) {}

    std::string ToUtf8(std::string_view bytes) const override {
        // A byte-order mark at the start overrides the declared order: senders
        // label text "UTF-16" whatever order they wrote.
        bool bigEndian = bigEndian_;
        if (bytes.starts_with("\xFF\xFE")) {
            bigEndian = false;
            bytes.remove_prefix(2);
        } else if (bytes.starts_with("\xFE\xFF")) {
            bigEndian = true;
            bytes.remove_prefix(2);
        }
        std::string out;
        out.reserve(bytes.size());
        const std::size_t units = bytes.size() / 2;
        auto unitAt = [&](std::size_t i) -> char32_t {
            const auto a = static_cast<unsigned char>(bytes[2 * i]);
            const auto b = static_cast<unsigned char>(bytes[2 * i + 1]);
            return bigEndian ? static_cast<char32_t>((a << 8) | b) : static_cast<char32_t>((b << 8) | a);
        };
        for (std::size_t i = 0; i < units; ++i) {
            const char32_t unit = unitAt(i);
            if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units) {
                const char32_t low = unitAt(i + 1);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                    ++i;
                    continue;
                }
            }
            AppendUtf8(out, unit >= 0xD800 && unit <= 0xDFFF ? kReplacementChar : unit);
        }
        if (bytes.size() % 2 != 0) {
            AppendUtf8(out, kReplacementChar);
        }
        return out;
    }

    std::string FromUtf8(std::string_view utf8) const override {
        std::string out;
        out.reserve(utf8.size() * 2);
        auto put = [&](char32_t unit) {
            const auto high = static_cast<char>(unit >> 8);
            const auto low = static_cast<char>(unit & 0xFF);
            out += bigEndian_ ? high : low;
            out += bigEndian_ ? low : high;
        };
        ForEachChar(utf8, [&](char32_t c) {
            if (c == kInvalid) {
                put(static_cast<char32_t>(kUnrepresentable));
            } else if (c >= 0x10000) {
                put(0xD800 + ((c - 0x10000) >> 10));
                put(0xDC00 + ((c - 0x10000) & 0x3FF));
            } else {
                put(c);
            }
        });
        return out;
    }

    int CodePage() const override { return bigEndian_ ? kCodePageUtf16BE : kCodePageUtf16LE; }

private:
    bool bigEndian_;
};

// Converted here rather than by the system: Windows has no code page
// converter for UTF-32 at all.
class TUtf32Encoding final : public TTextEncoding {
public:
    explicit TUtf32Encoding(bool bigEndian) : bigEndian_(bigEndian) {}

    std::string ToUtf8(std::string_view bytes) const override {
        // As with UTF-16, a byte-order mark at the start wins over the label.
        bool bigEndian = bigEndian_;
        if (bytes.starts_with(std::string_view("\xFF\xFE\0\0", 4))) {
            bigEndian = false;
            bytes.remove_prefix(4);
        } else if (bytes.starts_with(std::string_view("\0\0\xFE\xFF", 4))) {
            bigEndian = true;
            bytes.remove_prefix(4);
        }
        std::string out;
        out.reserve(bytes.size());
        for (std::size_t at = 0; at + 4 <= bytes.size(); at += 4) {
            char32_t unit = 0;
            for (int i = 0; i < 4; ++i) {
                const auto byte = static_cast<unsigned char>(bytes[at + (bigEndian ? i : 3 - i)]);
                unit = (unit << 8) | byte;
            }
            const bool valid = unit <= 0x10FFFF && !(unit >= 0xD800 && unit <= 0xDFFF);
            AppendUtf8(out, valid ? unit : kReplacementChar);
        }
        if (bytes.size() % 4 != 0) {
            AppendUtf8(out, kReplacementChar);
        }
        return out;
    }

    std::string FromUtf8(std::string_view utf8) const override {
        std::string out;
        out.reserve(utf8.size() * 4);
        ForEachChar(utf8, [&](char32_t c) {
            if (c == kInvalid) {
                c = static_cast<char32_t>(kUnrepresentable);
            }
            for (int i = 0; i < 4; ++i) {
                const int shift = bigEndian_ ? 8 * (3 - i) : 8 * i;
                out += static_cast<char>((c >> shift) & 0xFF);
            }
        });
        return out;
    }

    int CodePage() const override { return bigEndian_ ? kCodePageUtf32BE : kCodePageUtf32LE; }

private:
    bool bigEndian_;
};

constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// UTF-7: ASCII stands for itself; "+" opens a run of modified base64 holding
// UTF-16 code units, which ends at the first other character ("-" is absorbed).
class TUtf7Encoding final : public TTextEncoding {
public:
    std::string ToUtf8(std::string_view bytes) const override {
        std::string out;
        out.reserve(bytes.size());
        std::size_t pos = 0;
        while (pos < bytes.size()) {
            const auto byte = static_cast<unsigned char>(bytes[pos]);
            if (byte >= 0x80) {
                AppendUtf8(out, kReplacementChar);
                ++pos;
                continue;
            }
            if (byte != '+') {
                out += static_cast<char>(byte);
                ++pos;
                continue;
            }
            ++pos;
            if (pos < bytes.size() && bytes[pos] == '-') {
                out += '+';
                ++pos;
                continue;
            }
            pos = DecodeRun(bytes, pos, out);
        }
        return out;
    }

    std::string FromUtf8(std::string_view utf8) const override {
        std::string out;
        out.reserve(utf8.size());
        std::uint32_t bits = 0;
        int bitCount = 0;
        bool inRun = false;
        auto putUnit = [&](char32_t unit) {
            bits = (bits << 16) | unit;
            bitCount += 16;
            while (bitCount >= 6) {
                bitCount -= 6;
                out += kBase64Alphabet[(bits >> bitCount) & 0x3F];
            }
        };
        auto closeRun = [&] {
            if (bitCount > 0) {
                out += kBase64Alphabet[(bits << (6 - bitCount)) & 0x3F];
            }
            bits = 0;
            bitCount = 0;
            out += '-';
            inRun = false;
        };
        ForEachChar(utf8, [&](char32_t c) {
            if (c == kInvalid) {
                c = static_cast<char32_t>(kUnrepresentable);
            }
            if (IsDirect(c)) {
                if (inRun) {
                    closeRun();
                }
                out += static_cast<char>(c);
                return;
            }
            if (c == '+' && !inRun) {
                out += "+-";
                return;
            }
            if (!inRun) {
                out += '+';
                inRun = true;
            }
            if (c >= 0x10000) {
                putUnit(0xD800 + ((c - 0x10000) >> 10));
                putUnit(0xDC00 + ((c - 0x10000) & 0x3FF));
            } else {
                putUnit(c);
            }
        });
        if (inRun) {
            closeRun();
        }
        return out;
    }

    int CodePage() const override { return kCodePageUtf7; }

private:
    // Characters written as themselves: every printable ASCII character except
    // "+", "\" and "~", which some gateways alter, plus blank, tab and line ends.
    static bool IsDirect(char32_t c) {
        if (c == '+' || c == '\\' || c == '~') {
            return false;
        }
        return (c >= 0x20 && c < 0x7F) || c == '\t' || c == '\r' || c == '\n';
    }

    // Decodes the base64 run that starts at pos; returns the position after it.
    static std::size_t DecodeRun(std::string_view bytes, std::size_t pos, std::string& out) {
        std::uint32_t bits = 0;
        int bitCount = 0;
        char32_t highSurrogate = 0;
        auto emit = [&](char32_t unit) {
            if (highSurrogate != 0) {
                if (unit >= 0xDC00 && unit <= 0xDFFF) {
                    AppendUtf8(out, 0x10000 + ((highSurrogate - 0xD800) << 10) + (unit - 0xDC00));
                    highSurrogate = 0;
                    return;
                }
                AppendUtf8(out, kReplacementChar);
                highSurrogate = 0;
            }
            if (unit >= 0xD800 && unit <= 0xDBFF) {
                highSurrogate = unit;
            } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
                AppendUtf8(out, kReplacementChar);
            } else {
                AppendUtf8(out, unit);
            }
        };
        while (pos < bytes.size()) {
            const int value = Base64Value(bytes[pos]);
            if (value < 0) {
                break;
            }
            bits = ((bits << 6) | static_cast<std::uint32_t>(value)) & 0xFFFFFF;
            bitCount += 6;
            if (bitCount >= 16) {
                bitCount -= 16;
                emit((bits >> bitCount) & 0xFFFF);
            }
            ++pos;
        }
        if (highSurrogate != 0) {
            AppendUtf8(out, kReplacementChar);
        }
        if (pos < bytes.size() && bytes[pos] == '-') {
            ++pos;
        }
        return pos;
    }
};

// ---------------------------------------------------------------- system tables

class TSystemEncoding final : public TTextEncoding {
public:
    TSystemEncoding(int codePage, std::unique_ptr<TCodePageConverter> converter)
        : codePage_(codePage), converter_(std::move(converter)) {}
    std::string ToUtf8(std::string_view bytes) const override { return converter_->ToUtf8(bytes); }
    std::string FromUtf8(std::string_view utf8) const override { return converter_->FromUtf8(utf8); }
    int CodePage() const override { return codePage_; }

private:
    int codePage_;
    std::unique_ptr<TCodePageConverter> converter_;
};

// ---------------------------------------------------------------- lookup

const std::shared_ptr<const TTextEncoding>& Latin1() {
    static const std::shared_ptr<const TTextEncoding> encoding = std::make_shared<TLatin1Encoding>();
    return encoding;
}

std::shared_ptr<const TTextEncoding> CreateForCodePage(int codePage) {
    switch (codePage) {
        case kCodePageUtf8: return std::make_shared<TUtf8Encoding>();
        case kCodePageUtf16LE: return std::make_shared<TUtf16Encoding>(false);
        case kCodePageUtf16BE: return std::make_shared<TUtf16Encoding>(true);
        case kCodePageUtf32LE: return std::make_shared<TUtf32Encoding>(false);
        case kCodePageUtf32BE: return std::make_shared<TUtf32Encoding>(true);
        case kCodePageUtf7: return std::make_shared<TUtf7Encoding>();
        case kCodePageUsAscii: return UndeclaredTextEncoding();
        case kCodePageLatin1: return Latin1();
        case kCodePageWindows1252: return std::make_shared<TWindows1252Encoding>();
        default: break;
    }
    std::unique_ptr<TCodePageConverter> converter = OpenCodePageConverter(codePage);
    if (!converter) {
        return nullptr;
    }
    return std::make_shared<TSystemEncoding>(codePage, std::move(converter));
}

// One encoding object per code page for the life of the process; opening a
// system conversion is costly and the objects are immutable.
std::shared_ptr<const TTextEncoding> ForCodePage(int codePage) {
    static std::mutex mutex;
    static std::map<int, std::shared_ptr<const TTextEncoding>> cache;
    std::lock_guard<std::mutex> lock(mutex);
    auto found = cache.find(codePage);
    if (found == cache.end()) {
        found = cache.emplace(codePage, CreateForCodePage(codePage)).first;
    }
    return found->second;
}

// The bare name of a charset parameter: surrounding blanks and quotes gone.
std::string_view BareName(std::string_view charset) {
    auto isJunk = [](char c) { return c == ' ' || c == '\t' || c == '"' || c == '\'' || c == '\r' || c == '\n'; };
    while (!charset.empty() && isJunk(charset.front())) {
        charset.remove_prefix(1);
    }
    while (!charset.empty() && isJunk(charset.back())) {
        charset.remove_suffix(1);
    }
    return charset;
}

}  // namespace

std::shared_ptr<const TTextEncoding> FindCharsetEncoding(std::string_view charset) {
    const int codePage = CharsetCodePage(BareName(charset));
    if (codePage == kCharsetUnknown || codePage == kCharsetNoCodePage) {
        return nullptr;
    }
    return ForCodePage(codePage);
}

std::shared_ptr<const TTextEncoding> CharsetToTextEncoding(std::string_view charset) {
    std::shared_ptr<const TTextEncoding> encoding = FindCharsetEncoding(charset);
    return encoding ? encoding : Latin1();
}

std::shared_ptr<const TTextEncoding> UndeclaredTextEncoding() {
    static const std::shared_ptr<const TTextEncoding> encoding = std::make_shared<TUndeclaredEncoding>();
    return encoding;
}

std::string Latin1ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 8);
    for (const char ch : bytes) {
        AppendUtf8(out, static_cast<unsigned char>(ch));
    }
    return out;
}

}  // namespace kdv
