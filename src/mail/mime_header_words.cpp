#include "mail/mime_header_words.h"

#include "mail/base64_decoder.h"
#include "mail/charset.h"
#include "mail/mail_text_util.h"
#include "mail/mime_text_decoding.h"
#include "platform/ascii_text.h"

namespace kdv {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string DecodeQ(std::string_view data) {
    std::string out;
    out.reserve(data.size());
    for (std::size_t i = 0; i < data.size(); ++i) {
        const char c = data[i];
        if (c == '_') {
            out.push_back(' ');
        } else if (c == '=') {
            const int hi = i + 1 < data.size() ? HexDigitValue(data[i + 1]) : -1;
            const int lo = i + 2 < data.size() ? HexDigitValue(data[i + 2]) : -1;
            out.push_back(hi >= 0 && lo >= 0 ? static_cast<char>(hi * 16 + lo) : ' ');
            i += 2;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

// Collects the decoded text. White space between two encoded words is no
// text of its own and goes; the bytes of adjacent encoded words of one charset
// are joined before they become text, because mailers split long words
// anywhere, even inside a character of a multi-byte charset.
class TDecodedText {
public:
    void AppendText(std::string_view text) {
        if (text.empty()) return;
        FlushBytes();
        out_.append(space_);
        space_.clear();
        out_.append(text);
        after_word_ = false;
    }
    void AppendSpace(std::string_view space) {
        if (after_word_) space_.append(space);
        else AppendText(space);
    }
    void AppendWord(std::string_view charset, std::string_view bytes) {
        StartWord();
        if (!EqualsNoCase(charset, charset_)) FlushBytes();
        charset_.assign(charset);
        bytes_.append(bytes);
    }
    // A word whose characters are text already (the "8" encoding).
    void AppendWordText(std::string_view text) {
        StartWord();
        FlushBytes();
        out_.append(text);
    }
    std::string Take() {
        FlushBytes();
        out_.append(space_);
        return std::move(out_);
    }

private:
    void StartWord() {
        if (!after_word_) {
            out_.append(space_);
        }
        space_.clear();
        after_word_ = true;
    }
    void FlushBytes() {
        if (!bytes_.empty()) out_.append(TextEncodingForCharset(charset_)->ToUtf8(bytes_));
        bytes_.clear();
        charset_.clear();
    }

    std::string out_;
    std::string space_;  // white space after a word, dropped when another word follows
    bool after_word_ = false;
    std::string charset_;
    std::string bytes_;
};

// Decodes the encoded words of one run (text without white space) into `out`.
void DecodeRun(std::string_view run, TDecodedText& out) {
    std::size_t search = 0;
    std::size_t copied = 0;
    std::size_t known_close = std::string_view::npos;  // first "?=" found by an earlier search
    while (true) {
        const std::size_t open = run.find("=?", search);
        if (open == std::string_view::npos) break;
        const std::size_t q1 = run.find('?', open + 2);
        if (q1 == std::string_view::npos) break;
        const std::size_t q2 = run.find('?', q1 + 1);
        if (q2 == std::string_view::npos) break;
        const std::string_view enc = run.substr(q1 + 1, q2 - q1 - 1);
        const char letter = enc.size() == 1 ? static_cast<char>(enc[0] | 0x20) : '\0';
        if (letter != 'q' && letter != 'b' && letter != '8') {
            search = open + 2;
            continue;
        }
        std::size_t close = known_close;
        if (close == std::string_view::npos || close < q2 + 1) {
            close = run.find("?=", q2 + 1);
            known_close = close;
        }
        // No later word can close either, so the rest of the run stays as it is.
        if (close == std::string_view::npos) break;

        std::string_view charset = run.substr(open + 2, q1 - open - 2);
        if (const std::size_t star = charset.find('*'); star != std::string_view::npos) charset = charset.substr(0, star);
        const std::string_view data = run.substr(q2 + 1, close - q2 - 1);
        out.AppendText(run.substr(copied, open - copied));
        if (letter == 'q') {
            out.AppendWord(charset, DecodeQ(data));
        } else if (letter == 'b') {
            out.AppendWord(charset, TBase64Decoder::Decode(data));
        } else {
            // The line was turned into text when it was read; its characters stand.
            out.AppendWordText(data);
        }
        copied = search = close + 2;
        known_close = std::string_view::npos;
    }
    out.AppendText(run.substr(copied));
}

}  // namespace

std::string DecodeHeaderWords(std::string_view text) {
    if (text.find("=?") == std::string_view::npos) return std::string(text);
    TDecodedText out;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t space_start = i;
        while (i < text.size() && IsSpace(text[i])) ++i;
        out.AppendSpace(text.substr(space_start, i - space_start));
        const std::size_t run_start = i;
        while (i < text.size() && !IsSpace(text[i])) ++i;
        DecodeRun(text.substr(run_start, i - run_start), out);
    }
    return out.Take();
}

}  // namespace kdv
