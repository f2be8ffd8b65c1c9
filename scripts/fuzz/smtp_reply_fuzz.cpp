// Feeds arbitrary bytes, cut into lines, to the SMTP reply parser and checks
// what it promises: only its own failures, a code that is 0 or from 100 to
// 999, one text line per line taken, enhanced status codes of class 2, 4 or
// 5, and a fresh start after every reply and every failure.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "clients/smtp_reply.h"
#include "platform/dira_error.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

void CheckReply(const kdv::TMailReplySMTP& reply, std::size_t lines) {
    Require(reply.Code == 0 || (reply.Code >= 100 && reply.Code <= 999));
    Require(reply.Text.size() == lines);
    if (reply.EnhancedCode.Available) {
        const int c = reply.EnhancedCode.StatusClass;
        Require(c == 2 || c == 4 || c == 5);
        Require(reply.EnhancedCode.Subject >= 0 && reply.EnhancedCode.Subject <= 999);
        Require(reply.EnhancedCode.Detail >= 0 && reply.EnhancedCode.Detail <= 999);
    }
    std::string formatted = reply.FormattedText();
    std::size_t breaks = 0;
    for (std::size_t at = 0; (at = formatted.find("\r\n", at)) != std::string::npos; at += 2) ++breaks;
    Require(breaks >= lines);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    kdv::TSmtpReplyParser parser;
    std::size_t lines = 0;
    std::size_t start = 0;
    while (start <= input.size()) {
        std::size_t end = input.find('\n', start);
        if (end == std::string_view::npos) end = input.size();
        std::string_view line = input.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        start = end + 1;
        try {
            ++lines;
            if (parser.AddLine(line)) {
                CheckReply(parser.Take(), lines);
                lines = 0;
            }
        } catch (const kdv::EDiraError& error) {
            Require(error.ErrorKind() == kdv::TErrorKind::ekReply);
            lines = 0;
        }
    }
    if (lines > 0) CheckReply(parser.Take(), lines);
    return 0;
}
