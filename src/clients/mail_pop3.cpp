#include "clients/mail_pop3.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>

#include "clients/connection_line_source.h"
#include "mail/byte_sink.h"
#include "mail/mail_message.h"
#include "mail/mime_reader.h"
#include "platform/ascii_text.h"
#include "platform/secret_mask.h"

namespace kdv {
namespace {

constexpr const char* kOk = "+OK";
constexpr const char* kErr = "-ERR";
constexpr const char* kTooManyDataLines = "Die Antwort des POP3-Servers hat zu viele Zeilen.";

// The code word of a reply line: up to the first blank, or up to a "-"
// that does not start the line.
std::string CodeOf(const std::string& line) {
    std::size_t end = 0;
    while (end < line.size() && line[end] != ' ' && !(line[end] == '-' && end > 0)) ++end;
    return line.substr(0, end);
}

bool Recognised(const std::string& code) { return code == kOk || code == kErr || code == "+"; }

std::uint64_t NumberOr0(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    (void)end;
    return error == std::errc() ? value : 0;
}

}  // namespace

void TMailReplyPOP3::Parse(const std::vector<std::string>& lines) {
    Code.clear();
    Text.clear();
    EnhancedCode.clear();
    for (const std::string& line : lines) {
        const std::string code = CodeOf(line);
        if (!Recognised(code)) {
            Text.push_back(line);
            continue;
        }
        if (Code.empty()) Code = code;
        Text.push_back(line.size() > code.size() ? line.substr(code.size() + 1) : std::string());
    }
    if (Code.empty()) Code = kErr;
    if (Code == kErr && !Text.empty() && !Text.front().empty() && Text.front().front() == '[') {
        std::string& first = Text.front();
        const std::size_t close = first.find(']');
        if (close != std::string::npos) {
            const std::string word = first.substr(1, close - 1);
            static const char* const kKnown[] = {"IN-USE", "LOGIN-DELAY", "SYS/PERM", "SYS/TEMP", "AUTH"};
            for (const char* known : kKnown) {
                if (StartsWithNoCase(word, known)) {
                    EnhancedCode = first.substr(0, close + 1);
                    std::size_t rest = close + 1;
                    while (rest < first.size() && first[rest] == ' ') ++rest;
                    first.erase(0, rest);
                    break;
                }
            }
        }
    }
}

std::string TMailReplyPOP3::FormattedText() const {
    std::string text;
    for (const std::string& line : Text) text += line + "\r\n";
    return text;
}

TMailPOP3::TMailPOP3() : TMailExplicitTLSClient(110, 995, 110) {}

TMailPOP3::~TMailPOP3() = default;

std::string TMailPOP3::ReadReply() {
    LastCmdResult.Parse({IO().ReadLnWait()});
    return LastCmdResult.Code;
}

std::string TMailPOP3::SendCmd(const std::string& command, const std::string& expected, TErrorKind kind) {
    IO().WriteLn(command);
    const std::string code = ReadReply();
    if (!expected.empty() && !EqualsNoCase(code, expected)) throw EMailReplyPOP3Error(kind, LastCmdResult);
    return code;
}

std::vector<std::string> TMailPOP3::ReadDataLines() {
    TDeadlineScope whole_reply(IO().Transport(), IO().Transport().ReadLimit());
    std::vector<std::string> lines;
    for (;;) {
        std::string line = IO().ReadLn();
        if (line == ".") return lines;
        if (lines.size() >= kMaxDataLines) {
            Disconnect(false);
            throw EDiraError(TErrorKind::ekTooLarge, kTooManyDataLines);
        }
        if (line.size() >= 2 && line[0] == '.' && line[1] == '.') line.erase(0, 1);
        lines.push_back(std::move(line));
    }
}

void TMailPOP3::Connect(const std::string& host) {
    Host = host;
    Connect();
}

void TMailPOP3::Connect() {
    HasAPOP = false;
    HasCAPA = false;
    APOPToken.clear();
    Capabilities.clear();
    TMailExplicitTLSClient::Connect();
    try {
        if (!EqualsNoCase(ReadReply(), kOk)) throw EMailReplyPOP3Error(TErrorKind::ekReply, LastCmdResult);
        if (!LastCmdResult.Text.empty()) {
            const std::string& first = LastCmdResult.Text.front();
            const std::size_t open = first.find('<');
            if (open != std::string::npos) {
                const std::size_t close = first.find('>', open);
                if (close != std::string::npos) APOPToken = first.substr(open, close - open + 1);
            }
        }
        HasAPOP = !APOPToken.empty();
        if (EqualsNoCase(SendCmd("CAPA"), kOk)) Capabilities = ReadDataLines();
        HasCAPA = !Capabilities.empty();
        if (AutoLogin) Login();
    } catch (...) {
        Disconnect(false);
        throw;
    }
}

void TMailPOP3::Login() {
    if (StartTlsDue()) {
        const bool offered = std::any_of(Capabilities.begin(), Capabilities.end(),
                                         [](const std::string& c) { return EqualsNoCase(CodeOf(c), "STLS"); });
        if (offered) {
            if (!EqualsNoCase(SendCmd("STLS"), kOk)) TLSCommandRefused(false);
            TLSHandshake();
            Capabilities.clear();
            if (EqualsNoCase(SendCmd("CAPA"), kOk)) Capabilities = ReadDataLines();
            HasCAPA = !Capabilities.empty();
        } else {
            ProcessTLSNotAvailable(false);
        }
    }
    if (OAuth != nullptr) return AuthenticateWithOAuth();
    SendCmd("USER " + Username, kOk, TErrorKind::ekAuthentication);
    SendCmd("PASS " + Password, kOk, TErrorKind::ekAuthentication);
}

void TMailPOP3::AuthenticateWithOAuth() {
    std::vector<std::string> offered;
    for (const std::string& capability : Capabilities) {
        if (!EqualsNoCase(CodeOf(capability), "SASL")) continue;
        std::size_t at = capability.find(' ');
        while (at != std::string::npos) {
            const std::size_t end = capability.find(' ', at + 1);
            offered.push_back(capability.substr(at + 1, end == std::string::npos ? end : end - at - 1));
            at = end;
        }
    }
    const std::optional<TOAuthMechanism> mechanism = ChooseOAuthMechanism(offered);
    if (!mechanism) throw EDiraError(TErrorKind::ekAuthentication, NoOAuthOfferedText("Der POP3-Server"));
    std::string refusal;
    const auto attempt = [&](const std::string& token) { return TryOAuth(*mechanism, token, refusal); };
    if (SignInWithOneRenewal(*OAuth, attempt)) return;
    throw EDiraError(TErrorKind::ekAuthentication, refusal);
}

bool TMailPOP3::TryOAuth(TOAuthMechanism mechanism, const std::string& token, std::string& refusal) {
    // RFC 5034 keeps the AUTH line within 255 bytes; a longer response (any
    // real token) follows the server's "+".
    constexpr std::size_t kMaxAuthLine = 255;
    const std::string command = std::string("AUTH ") + OAuthMechanismName(mechanism);
    const std::string response = Base64Line(OAuthInitialResponse(mechanism, Username, token, Host, Port));
    const bool initial_response = command.size() + 1 + response.size() <= kMaxAuthLine;
    std::string challenge;
    try {
        std::string code = SendCmd(initial_response ? command + " " + response : command);
        if (code == "+" && !initial_response) code = SendCmd(response);
        if (code == "+") {
            challenge = DescribeOAuthErrorChallenge(LastCmdResult.Text.empty() ? "" : LastCmdResult.Text.front());
            code = SendCmd(OAuthErrorChallengeAnswer(mechanism));
        }
        if (EqualsNoCase(code, kOk)) return true;
        std::string text;
        for (const std::string& line : LastCmdResult.Text) text += (text.empty() ? "" : " ") + line;
        if (!LastCmdResult.EnhancedCode.empty()) text = LastCmdResult.EnhancedCode + " " + text;
        refusal = MaskSecrets(kOAuthRefused + code + " " + text + (challenge.empty() ? "" : " (" + challenge + ")"),
                              {token, response});
        // [SYS/TEMP] and [IN-USE] say nothing about the token.
        if (StartsWithNoCase(LastCmdResult.EnhancedCode, "[SYS/TEMP") ||
            StartsWithNoCase(LastCmdResult.EnhancedCode, "[IN-USE")) {
            throw EDiraError(TErrorKind::ekAuthentication, refusal);
        }
        return false;
    } catch (const EDiraError& e) {
        throw EDiraError(e.ErrorKind(), MaskSecrets(e.what(), {token, response}), e.ReplyCode());
    }
}

int TMailPOP3::CheckMessages() {
    SendCmd("STAT", kOk);
    const std::string text = LastCmdResult.Text.empty() ? std::string() : LastCmdResult.Text.front();
    const std::size_t blank = text.find(' ');
    const std::uint64_t count = NumberOr0(std::string_view(text).substr(0, blank));
    return static_cast<int>(std::min<std::uint64_t>(count, 0x7fffffff));
}

bool TMailPOP3::Retrieve(int number, TMailMessage& message) {
    if (!EqualsNoCase(SendCmd("RETR " + std::to_string(number)), kOk)) return false;
    message.Clear();
    TMailConnectionLineSource source(IO());
    TMailMessageReader reader(source);
    if (reader.ReadMessageHeader(message).empty()) reader.ReadMessageBody(message);
    // A reader that stopped early leaves the rest of the transfer unread;
    // the next command must not meet it.
    std::string_view rest;
    while (source.ReadLnRFC(rest, TLineTerminator::LF)) {
    }
    return true;
}

bool TMailPOP3::RetrieveRaw(int number, TByteSink& sink, std::uint64_t announced_size, std::uint64_t max_bytes) {
    if (!EqualsNoCase(SendCmd("RETR " + std::to_string(number)), kOk)) return false;
    // The whole transfer is due in the time its size allows; without a
    // size, in the time the largest mail taken would.
    const std::uint64_t allowance = announced_size != 0 ? announced_size : max_bytes;
    TStopScope stoppable(IO().Transport(), StopRequested);
    std::optional<TDeadlineScope> transfer;
    if (allowance != 0) transfer.emplace(IO().Transport(), TransferTimeLimit(IO().Transport().ReadLimit(), allowance));
    // Lines are cut at LF as the wire carries them (a bare CR stays inside):
    // the wire's line end is CR LF, so writing every line back with CR LF
    // gives the mail's text as the server holds it.
    // Handed on in blocks: a mail has hundreds of thousands of short lines.
    constexpr std::size_t kBlock = 32 * 1024;
    const std::size_t max_line = max_bytes != 0 && max_bytes < TMailConnectionLineSource::kMaxDataLineLength
                                     ? static_cast<std::size_t>(max_bytes)
                                     : TMailConnectionLineSource::kMaxDataLineLength;
    TConnectionLineInput input(IO());
    TLineReader source(input, {.DotStuffed = true, .BareBreaks = false, .MaxLineLength = max_line});
    std::string_view line;
    std::string out;
    out.reserve(2 * kBlock);
    std::uint64_t total = 0;
    const auto too_large = [&] {
        // The rest of the transfer is not waited for: the connection goes,
        // and the mail stays on the server.
        Disconnect(false);
        throw EDiraError(TErrorKind::ekTooLarge, "Die Mail ist größer als die erlaubten " + std::to_string(max_bytes) +
                                                     " Bytes; die Übertragung wurde abgebrochen.");
    };
    try {
        while (source.ReadLine(line, TLineTerminator::LF)) {
            out.append(line);
            out += "\r\n";
            total += line.size() + 2;
            if (max_bytes != 0 && total > max_bytes) too_large();
            if (out.size() >= kBlock) {
                sink.Write(out);
                out.clear();
            }
        }
    } catch (const EDiraError& error) {
        if (max_bytes != 0 && error.ErrorKind() == TErrorKind::ekLineTooLong) too_large();
        throw;
    }
    if (!out.empty()) sink.Write(out);
    return true;
}

bool TMailPOP3::Top(int number, std::string& header, std::size_t max_bytes) {
    header.clear();
    if (!EqualsNoCase(SendCmd("TOP " + std::to_string(number) + " 0"), kOk)) return false;
    TDeadlineScope whole_reply(IO().Transport(), IO().Transport().ReadLimit());
    for (;;) {
        std::string line = IO().ReadLn();
        if (line == ".") return true;
        if (line.size() >= 2 && line[0] == '.' && line[1] == '.') line.erase(0, 1);
        if (header.size() + line.size() + 2 > max_bytes) {
            Disconnect(false);
            throw EDiraError(TErrorKind::ekTooLarge, "Der Kopf der Mail ist größer als " + std::to_string(max_bytes) +
                                                         " Bytes.");
        }
        header += line;
        header += "\r\n";
    }
}

bool TMailPOP3::Delete(int number) { return EqualsNoCase(SendCmd("DELE " + std::to_string(number)), kOk); }

std::string TMailPOP3::UIDL(int number) {
    if (!EqualsNoCase(SendCmd("UIDL " + std::to_string(number)), kOk) || LastCmdResult.Text.empty()) return "";
    const std::string& text = LastCmdResult.Text.front();
    const std::size_t blank = text.find(' ');
    if (blank == std::string::npos) return "";
    std::string uid = text.substr(blank + 1);
    while (!uid.empty() && uid.back() == ' ') uid.pop_back();
    return uid;
}

std::optional<std::uint64_t> TMailPOP3::RetrieveMsgSize(int number) {
    if (!EqualsNoCase(SendCmd("LIST " + std::to_string(number)), kOk) || LastCmdResult.Text.empty()) return {};
    const std::string& text = LastCmdResult.Text.front();
    const std::size_t blank = text.find(' ');
    if (blank == std::string::npos) return {};
    return NumberOr0(std::string_view(text).substr(blank + 1));
}

bool TMailPOP3::KeepAlive() { return EqualsNoCase(SendCmd("NOOP"), kOk); }

bool TMailPOP3::Reset() { return EqualsNoCase(SendCmd("RSET"), kOk); }

void TMailPOP3::SendFarewell() { SendCmd("QUIT", kOk); }

bool TMailPOP3::Quit() {
    bool confirmed = false;
    try {
        if (Connected()) confirmed = EqualsNoCase(SendCmd("QUIT"), kOk);
    } catch (const EDiraError&) {
        confirmed = false;
    }
    try {
        Disconnect(false);
    } catch (const EDiraError&) {
    }
    return confirmed;
}

}  // namespace kdv
