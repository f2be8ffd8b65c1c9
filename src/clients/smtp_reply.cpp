#include "clients/smtp_reply.h"

#include "mail/mail_text_util.h"

namespace kdv {
namespace {

using mailtext::TrimBlanks;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads a run of digits at `pos`; false when there is none or it is too long
// to be a status number.
bool ReadNumber(std::string_view text, std::size_t& pos, int& value) {
    // Enhanced status numbers have at most three digits.
    constexpr std::size_t kMaxDigits = 3;
    const std::size_t start = pos;
    value = 0;
    while (pos < text.size() && IsDigit(text[pos])) {
        if (pos - start == kMaxDigits) return false;
        value = value * 10 + (text[pos] - '0');
        ++pos;
    }
    return pos > start;
}

// When `text` begins with an enhanced status code as its first word, stores
// it and returns the text after it (and the blanks that follow).
std::string_view TakeEnhancedCode(std::string_view text, TMailEnhancedStatus& status) {
    if (text.size() < 5 || (text[0] != '2' && text[0] != '4' && text[0] != '5') || text[1] != '.') return text;
    std::size_t pos = 2;
    int subject = 0;
    int detail = 0;
    if (!ReadNumber(text, pos, subject) || pos >= text.size() || text[pos] != '.') return text;
    ++pos;
    if (!ReadNumber(text, pos, detail)) return text;
    if (pos < text.size() && text[pos] != ' ' && text[pos] != '\t') return text;  // not a word of its own
    status = TMailEnhancedStatus{true, text[0] - '0', subject, detail};
    return mailtext::TrimLeftBlanks(text.substr(pos));
}

}  // namespace

std::string TMailEnhancedStatus::Text() const {
    if (!Available) return {};
    return std::to_string(StatusClass) + "." + std::to_string(Subject) + "." + std::to_string(Detail);
}

std::string TMailReplySMTP::FormattedText() const {
    std::string text;
    for (const auto& line : Text) text += line + "\r\n";
    return text;
}

void TMailReplySMTP::Clear() {
    Code = 0;
    Text.clear();
    EnhancedCode = {};
}

bool TSmtpReplyParser::AddLine(std::string_view line) {
    if (first_) {
        first_ = false;
        const std::string_view code = TrimBlanks(line.substr(0, 3));
        if (!code.empty()) {
            const bool numeric = code.size() == 3 && IsDigit(code[0]) && IsDigit(code[1]) && IsDigit(code[2]);
            const int value = numeric ? (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0') : 0;
            if (value < 100) {
                std::string message = kInvalidReplyCode;
                message.replace(message.find("%s"), 2, code);
                // The parser starts over, so a caller that goes on reads a new reply.
                reply_.Clear();
                first_ = true;
                throw EDiraError(TErrorKind::ekReply, message);
            }
            reply_.Code = value;
        }
    }
    const bool last = line.size() < 4 || line[3] == ' ';
    if (!last && reply_.Text.size() + 1 >= kMaxReplyLines) {
        reply_.Clear();
        first_ = true;
        throw EDiraError(TErrorKind::ekReply, kReplyTooLong);
    }
    if (line.size() > 4) {
        reply_.Text.emplace_back(TakeEnhancedCode(line.substr(4), reply_.EnhancedCode));
    } else {
        reply_.Text.emplace_back();
    }
    return last;
}

TMailReplySMTP TSmtpReplyParser::Take() {
    TMailReplySMTP reply = std::move(reply_);
    reply_.Clear();
    first_ = true;
    return reply;
}

}  // namespace kdv
