#include "mail/quoted_printable_decoder.h"
#include "platform/ascii_text.h"

#include <cstring>

namespace kdv {
namespace {

constexpr std::string_view kCrLf = "\r\n";

}  // namespace

void TQuotedPrintableDecoder::Step(std::string_view chunk) {
    while (!chunk.empty()) {
        const void* lf = std::memchr(chunk.data(), '\n', chunk.size());
        if (lf == nullptr) {
            pending_.append(chunk);
            return;
        }
        const std::size_t len = static_cast<const char*>(lf) - chunk.data();
        std::string_view line = chunk.substr(0, len);
        chunk.remove_prefix(len + 1);
        if (!pending_.empty()) {
            pending_.append(line);
            std::string whole;
            whole.swap(pending_);
            if (!whole.empty() && whole.back() == '\r') whole.pop_back();
            Process(whole, true, kCrLf);
        } else {
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            Process(line, true, kCrLf);
        }
    }
}

void TQuotedPrintableDecoder::DecodeLine(std::string_view line) {
    if (!pending_.empty()) {
        pending_.append(line);
        std::string whole;
        whole.swap(pending_);
        Process(whole, true, kCrLf);
        return;
    }
    Process(line, true, kCrLf);
}

bool TQuotedPrintableDecoder::DecodeLineContent(std::string_view line) {
    if (!pending_.empty()) {
        pending_.append(line);
        std::string whole;
        whole.swap(pending_);
        return Process(whole, true, {});
    }
    return Process(line, true, {});
}

void TQuotedPrintableDecoder::Finish() {
    if (pending_.empty()) return;
    std::string whole;
    whole.swap(pending_);
    Process(whole, false, kCrLf);
}

bool TQuotedPrintableDecoder::Process(std::string_view line, bool had_break, std::string_view hard_break) {
    // Blanks a sender's transport may have added at the line end carry no data.
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);

    bool soft_break = false;
    std::string& out = out_;
    out.clear();
    const std::size_t n = line.size();
    for (std::size_t i = 0; i < n; ++i) {
        const char c = line[i];
        if (c != '=') {
            out.push_back(c);
            continue;
        }
        if (i + 1 == n) {
            // "=" right before the break joins this line to the next; at the
            // very end of the data there is nothing to join, so it is dropped.
            soft_break = had_break;
            break;
        }
        const int hi = HexDigitValue(line[i + 1]);
        const int lo = i + 2 < n ? HexDigitValue(line[i + 2]) : -1;
        if (hi < 0 || lo < 0) {
            // Not an escape: the sender meant the characters as they stand.
            out.push_back(c);
            continue;
        }
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    const bool hard_break_follows = had_break && !soft_break;
    if (hard_break_follows) out.append(hard_break);
    if (!out.empty()) sink_.Write(out);
    return hard_break_follows;
}

std::string TQuotedPrintableDecoder::Decode(std::string_view text) {
    std::string result;
    TStringSink sink(result);
    TQuotedPrintableDecoder decoder(sink);
    decoder.Step(text);
    decoder.Finish();
    return result;
}

}  // namespace kdv
