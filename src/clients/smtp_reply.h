#pragma once
// One SMTP server reply: its three-digit code, its text lines and the
// enhanced status code some servers put in front of each line. The parser
// takes lines one at a time and knows when the reply is complete, so it does
// not care whether the lines come from a connection or a test.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dira_error.h"

namespace kdv {

inline constexpr const char* kInvalidReplyCode = "Antwortcode ist ungültig: %s";
inline constexpr const char* kReplyTooLong = "Die Antwort des Mailservers hat zu viele Zeilen.";

// "5.7.8": class 2, 4 or 5, then subject and detail.
struct TMailEnhancedStatus {
    bool Available = false;
    int StatusClass = 0;
    int Subject = 0;
    int Detail = 0;

    std::string Text() const;  // "5.7.8"; empty when not available
    bool operator==(const TMailEnhancedStatus&) const = default;
};

class TMailReplySMTP {
public:
    // 100 to 999; 0 when the reply carried a blank code.
    int Code = 0;
    // The lines without code, separator and enhanced status code.
    std::vector<std::string> Text;
    TMailEnhancedStatus EnhancedCode;

    // Every text line followed by CR LF: the message of an error raised for
    // this reply.
    std::string FormattedText() const;
    void Clear();
};

// Collects the lines of one reply. A line shorter than four characters or
// with a blank as its fourth character is the last one; the others carry a
// "-" there.
class TSmtpReplyParser {
public:
    // No server needs more lines (an EHLO reply has a few dozen); a peer that
    // never ends its reply must not fill the memory.
    static constexpr std::size_t kMaxReplyLines = 1000;

    // Takes the next line (without its line break). Returns true when it was
    // the reply's last line. Raises "Antwortcode ist ungültig: <code>"
    // (ekReply) when the first line's code is neither blank nor a number from
    // 100 to 999, and "Die Antwort des Mailservers hat zu viele Zeilen."
    // (ekReply) beyond kMaxReplyLines lines.
    bool AddLine(std::string_view line);
    // The reply collected so far; the parser starts over.
    TMailReplySMTP Take();

private:
    TMailReplySMTP reply_;
    bool first_ = true;
};

// The stage of an SMTP session, in the order a session passes through
// them. A caller tells by it whether a failure met the server or its
// settings (up to ssAuth, the same for every message) or the message in
// hand (its envelope and its text).
enum class TSMTPStage {
    ssConnect,   // opening the connection, with the TLS handshake of SMTPS
    ssGreeting,  // the server's first reply
    ssEhlo,      // EHLO, or HELO after it
    ssStartTls,  // STARTTLS and its handshake
    ssAuth,      // the login
    ssMailFrom,  // the envelope sender
    ssRcptTo,    // the recipients
    ssData,      // DATA, the message text and its end mark
};

// Every failure of the SMTP client: the kind, message and reply code of
// what went wrong, and the stage of the session it happened in. A failure
// that is no server reply (a lost connection, a time-out) has reply code 0
// and no enhanced status.
class EMailSMTPError : public EDiraError {
public:
    EMailSMTPError(TSMTPStage stage, TErrorKind kind, const std::string& message, int reply_code = 0,
                   const TMailEnhancedStatus& enhanced = {})
        : EDiraError(kind, message, reply_code), stage_(stage), enhanced_(enhanced) {}
    TSMTPStage Stage() const { return stage_; }
    const TMailEnhancedStatus& EnhancedCode() const { return enhanced_; }

private:
    TSMTPStage stage_;
    TMailEnhancedStatus enhanced_;
};

// Raised when the server's reply is not one the dialogue accepts. The
// message is the reply's text (FormattedText); ReplyCode() is its code.
class EMailSMTPReplyError : public EMailSMTPError {
public:
    EMailSMTPReplyError(const TMailReplySMTP& reply, TSMTPStage stage, TErrorKind kind = TErrorKind::ekReply)
        : EMailSMTPError(stage, kind, reply.FormattedText(), reply.Code, reply.EnhancedCode) {}
};

}  // namespace kdv
