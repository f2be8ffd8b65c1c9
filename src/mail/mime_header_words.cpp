#include "mail/mime_header_words.h"

#include "mail/base64_decoder.h"
#include "mail/charset.h"
#include "mail/mime_text_decoding.h"

namespace kdv {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string DecodeQ(std::string_view data) {
    std::string out;
    out.reserve(data.size());
    for (std::size_t i = 0; i < data.size(); ++i) {
        const char c = data[i];
        if (c == '_') {
            out.push_back(' ');
        } else if (c == '=') {
            const int hi = i + 1 < data.size() ? HexValue(data[i + 1]) : -1;
            const int lo = i + 2 < data.size() ? HexValue(data[i + 2]) : -1;
            out.push_back(hi >= 0 && lo >= 0 ? static_cast<char>(hi * 16 + lo) : ' ');
            i += 2;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

struct TRunResult {
    std::string text;
    bool starts_decoded = false;
    bool ends_decoded = false;
};

TRunResult DecodeRun(std::string_view run) {
    TRunResult r;
    std::size_t search = 0;
    std::size_t copied = 0;
    std::size_t known_close = std::string_view::npos;  // first "?=" found by an earlier search
    bool any = false;
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
        std::string decoded;
        if (letter == 'q') {
            decoded = TextEncodingForCharset(charset)->ToUtf8(DecodeQ(data));
        } else if (letter == 'b') {
            decoded = TextEncodingForCharset(charset)->ToUtf8(TBase64Decoder::Decode(data));
        } else {
            // The line was turned into text when it was read; its characters stand.
            decoded.assign(data);
        }
        r.text.append(run.substr(copied, open - copied));
        r.text.append(decoded);
        if (open == 0) r.starts_decoded = true;
        any = true;
        copied = search = close + 2;
        known_close = std::string_view::npos;
    }
    r.text.append(run.substr(copied));
    r.ends_decoded = any && copied == run.size();
    return r;
}

}  // namespace

std::string DecodeHeaderWords(std::string_view text) {
    if (text.find("=?") == std::string_view::npos) return std::string(text);
    std::string out;
    out.reserve(text.size());
    bool previous_ended_decoded = false;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t space_start = i;
        while (i < text.size() && IsSpace(text[i])) ++i;
        const std::string_view space = text.substr(space_start, i - space_start);
        const std::size_t run_start = i;
        while (i < text.size() && !IsSpace(text[i])) ++i;
        const std::string_view run = text.substr(run_start, i - run_start);
        if (run.empty()) {
            out.append(space);
            break;
        }
        TRunResult r = DecodeRun(run);
        if (!(previous_ended_decoded && r.starts_decoded)) out.append(space);
        out.append(r.text);
        previous_ended_decoded = r.ends_decoded;
    }
    return out;
}

}  // namespace kdv
