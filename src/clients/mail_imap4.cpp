#include "clients/mail_imap4.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <functional>
#include <optional>

#include "mail/byte_sink.h"
#include "mail/mail_message.h"
#include "mail/mime_reader.h"
#include "platform/ascii_text.h"
#include "platform/secret_mask.h"

namespace kdv {
namespace {

constexpr std::size_t kChunk = 64 * 1024;
// Literals inside replies other than a fetched mail are short (a mailbox
// name, a header); a peer announcing more is not talking IMAP.
constexpr std::uint64_t kMaxReplyLiteral = 1024 * 1024;
// What one command's reply may leave in memory, literals included: a
// listing of a quarter of a million mails fits, a flooding server does not.
constexpr std::size_t kMaxKeptReplyBytes = 16 * 1024 * 1024;
// What a kept line costs besides its text: the string and its heap block.
constexpr std::size_t kKeptLineOverhead = 64;
constexpr const char* kReplyTooLarge =
    "Die Antwort des IMAP-Servers ist größer als 16 MB; der Befehl wird abgebrochen.";
constexpr const char* kUnexpectedLine =
    "Unexpected: Non-last response line (i.e. a data line) did not start with a *, offending line: ";

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

bool Contains(const std::vector<std::string>& words, std::string_view word) {
    return std::find(words.begin(), words.end(), word) != words.end();
}

bool IsNumber(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::uint64_t ToNumber(std::string_view text) {
    std::uint64_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

std::string FirstWord(std::string_view text) {
    const std::size_t blank = text.find(' ');
    return std::string(text.substr(0, blank));
}

std::string AfterFirstWord(std::string_view text) {
    const std::size_t blank = text.find(' ');
    return blank == std::string_view::npos ? std::string() : std::string(text.substr(blank + 1));
}

// The response word of a data line (without "* "): its first word, or its
// second after a message number.
std::string ResponseWord(std::string_view data) {
    std::string word = FirstWord(data);
    if (IsNumber(word)) word = FirstWord(AfterFirstWord(data));
    return word;
}

// The size a line announces with a trailing "{n}" (or "{n+}").
std::optional<std::uint64_t> LiteralSize(std::string_view line) {
    if (line.empty() || line.back() != '}') return {};
    const std::size_t open = line.rfind('{');
    if (open == std::string_view::npos) return {};
    std::string_view inner = line.substr(open + 1, line.size() - open - 2);
    if (!inner.empty() && inner.back() == '+') inner.remove_suffix(1);
    if (inner == "NIL") return 0;
    if (!IsNumber(inner) || inner.size() > 18) return {};
    return ToNumber(inner);
}

std::vector<std::string> SplitWords(std::string_view text) {
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && text[at] == ' ') ++at;
        const std::size_t end = std::min(text.find(' ', at), text.size());
        if (end > at) words.emplace_back(text.substr(at, end - at));
        at = end;
    }
    return words;
}

// The words inside the first "(...)" after `key` in `text`.
std::optional<std::set<std::string>> ParenList(std::string_view text, std::string_view key) {
    const std::size_t at = text.find(key);
    if (at == std::string_view::npos) return {};
    const std::size_t open = text.find('(', at + key.size());
    const std::size_t close = text.find(')', open == std::string_view::npos ? at : open);
    if (open == std::string_view::npos || close == std::string_view::npos) return {};
    const auto words = SplitWords(text.substr(open + 1, close - open - 1));
    return std::set<std::string>(words.begin(), words.end());
}

// The value after `key` ("UID 17" -> "17") when it is a number.
std::string NumberAfter(std::string_view text, std::string_view key) {
    std::size_t at = 0;
    while ((at = text.find(key, at)) != std::string_view::npos) {
        const bool word_start = at == 0 || text[at - 1] == ' ' || text[at - 1] == '(';
        const std::size_t from = at + key.size();
        if (word_start && from < text.size() && text[from] == ' ') {
            std::size_t end = from + 1;
            while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
            if (end > from + 1) return std::string(text.substr(from + 1, end - from - 1));
        }
        at = from;
    }
    return "";
}

// A bracketed response code "[WORD rest]" at the start of `text`.
std::string ResponseCode(std::string_view text, std::string& rest) {
    if (text.empty() || text.front() != '[') return "";
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos) return "";
    const std::string inner(text.substr(1, close - 1));
    rest = AfterFirstWord(inner);
    return FirstWord(inner);
}

std::string EncodeMailboxName(const std::string& name) {
    // ASCII names only ("INBOX"): "&" starts an encoded run and is written "&-".
    std::string out;
    for (char c : name) {
        if (c == '&') {
            out += "&-";
        } else {
            if (c == '"' || c == '\\') out += '\\';
            out += c;
        }
    }
    return out;
}

}  // namespace

const char* ConnectionStateName(TIMAPConnectionState state) {
    switch (state) {
        case TIMAPConnectionState::csAny: return "Alle";
        case TIMAPConnectionState::csNonAuthenticated: return "Nicht authentifiziert";
        case TIMAPConnectionState::csAuthenticated: return "Authentifiziert";
        case TIMAPConnectionState::csSelected: return "Ausgewählt";
        case TIMAPConnectionState::csUnexpectedlyDisconnected: return "Verbindung unerwartet getrennt";
    }
    return "";
}

TMailIMAP4::TMailIMAP4() : TMailExplicitTLSClient(143, 993, 143) {}

TMailIMAP4::~TMailIMAP4() = default;

std::string TMailIMAP4::NewTag() { return "C" + std::to_string(++counter_); }

void TMailIMAP4::CheckState(std::initializer_list<TIMAPConnectionState> allowed) const {
    if (std::find(allowed.begin(), allowed.end(), ConnectionState) != allowed.end()) return;
    throw EDiraError(TErrorKind::ekUsage, std::string("Befehl kann nicht ausgeführt werden, falscher Verbindungsstatus; Aktueller "
                                 "Verbindungsstatus: ") +
                     ConnectionStateName(ConnectionState) + ".");
}

void TMailIMAP4::CheckNumber(std::uint32_t number) {
    if (number < 1) throw EDiraError(TErrorKind::ekUsage, kImapNumberText);
}

TMailIMAP4::TArgForm TMailIMAP4::ArgFormOf(const std::string& text, bool atom_allowed) {
    bool atom = atom_allowed && !text.empty();
    for (unsigned char c : text) {
        if (c > 127 || c == '\r' || c == '\n' || c == 0) return TArgForm::Literal;
        if (c <= ' ' || c == 127 || c == '(' || c == ')' || c == '{' || c == '%' || c == '*' || c == '"' ||
            c == '\\' || c == ']') {
            atom = false;
        }
    }
    return atom ? TArgForm::Atom : TArgForm::Quoted;
}

std::string TMailIMAP4::Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

void TMailIMAP4::Lost() {
    ConnectionState = TIMAPConnectionState::csUnexpectedlyDisconnected;
    // A dialogue that broke off in the middle cannot be picked up again:
    // the next pass starts on a fresh connection.
    try {
        TMailExplicitTLSClient::Disconnect(false);
    } catch (const EDiraError&) {
    }
}

void TMailIMAP4::WriteCommand(const std::string& tag, const std::string& command,
                              const std::vector<std::string>& literals) {
    // `command` holds one "\x01" per literal where "{n}" and the literal's
    // bytes go; the server must invite each literal with "+".
    std::size_t from = 0;
    std::string line = tag + " ";
    for (const std::string& literal : literals) {
        const std::size_t mark = command.find('\x01', from);
        line += command.substr(from, mark - from) + "{" + std::to_string(literal.size()) + "}";
        IO().WriteLn(line);
        const std::string answer = IO().ReadLnWait();
        if (!StartsWith(answer, "+")) {
            pending_.push_back(answer);
            return;
        }
        IO().Write(literal);
        line.clear();
        from = mark + 1;
    }
    line += command.substr(from);
    IO().WriteLn(line);
}

std::string TMailIMAP4::SendCmd(const std::string& command, const std::vector<std::string>& expected,
                                const std::vector<std::string>& literals) {
    const std::string tag = NewTag();
    try {
        // Unsolicited lines of earlier commands are dropped; nothing is
        // waited for, the reply reader passes over later ones anyway.
        IO().DiscardArrivedLines();
        pending_.clear();
        WriteCommand(tag, command, literals);
        return ReadReply(tag, expected);
    } catch (const EDiraError&) {
        Lost();
        throw;
    }
}

std::string TMailIMAP4::ReadReply(const std::string& tag, const std::vector<std::string>& expected,
                                  bool single_line) {
    // A whole reply is due within the time limit, however its lines trickle
    // or flood in; only the data the command asked for is kept.
    TDeadlineScope whole_reply(IO().Transport(), IO().Transport().ReadLimit());
    LastReply = TIMAPReply();
    all_data_.clear();
    std::size_t kept_bytes = 0;
    for (;;) {
        std::string line;
        if (!pending_.empty()) {
            line = std::move(pending_.front());
            pending_.erase(pending_.begin());
        } else {
            line = IO().ReadLnWait();
        }
        if (StartsWith(line, "* BYE") && !Contains(expected, "BYE")) {
            Lost();
            throw EDiraError(TErrorKind::ekPeerClosed, kImapByeText);
        }
        const bool data = StartsWith(line, "* ");
        const bool tagged = !tag.empty() && StartsWith(line, tag + " ");
        const std::string word = data ? ResponseWord(std::string_view(line).substr(2)) : std::string();
        if (data && single_line && Contains(expected, word)) {
            LastReply.Code = "OK";
            LastReply.Text.push_back(line.substr(2));
            return LastReply.Code;
        }
        const bool greeting = data && tag.empty() && (word == "OK" || word == "PREAUTH" || word == "BYE");
        const bool capability = data && (word == "CAPABILITY" || StartsWith(line, "* OK [CAPABILITY"));
        const bool keep = greeting || capability || (data && Contains(expected, word));
        // Literals inside the reply are taken in with the line that
        // announced them; those of a line nobody asked for are passed over.
        while (!tagged) {
            const auto size = LiteralSize(line);
            if (!size) break;
            if (!keep) {
                IO().SkipBytes(*size);
                line = IO().ReadLn();
                continue;
            }
            if (*size > kMaxReplyLiteral) throw EDiraError(TErrorKind::ekLineTooLong, kLineTooLong);
            kept_bytes += static_cast<std::size_t>(*size);
            if (kept_bytes > kMaxKeptReplyBytes) throw EDiraError(TErrorKind::ekTooLarge, kReplyTooLarge);
            IO().ReadBytes(static_cast<std::size_t>(*size), line);
            line += IO().ReadLn();
        }
        if (tagged) {
            const std::string rest = line.substr(tag.size() + 1);
            LastReply.Code = FirstWord(rest);
            LastReply.Last = AfterFirstWord(rest);
            return LastReply.Code;
        }
        if (data) {
            if (!keep) continue;
            const std::string body = line.substr(2);
            if (greeting) {
                LastReply.Code = word;
                LastReply.Last = AfterFirstWord(body);
                LastReply.Text.push_back(LastReply.Last);
                return LastReply.Code;
            }
            kept_bytes += body.size() + kKeptLineOverhead;
            if (kept_bytes > kMaxKeptReplyBytes) throw EDiraError(TErrorKind::ekTooLarge, kReplyTooLarge);
            if (capability) all_data_.push_back(body);
            if (Contains(expected, word)) LastReply.Text.push_back(body);
            continue;
        }
        const std::string first = FirstWord(line);
        if (first == "+" || StartsWith(line, "+ ") || first == "OK" || first == "NO" || first == "BAD" ||
            first == "PREAUTH" || first == "BYE") {
            LastReply.Code = StartsWith(line, "+") ? "+" : first;
            LastReply.Last = AfterFirstWord(line);
            return LastReply.Code;
        }
        throw EDiraError(TErrorKind::ekReply, kUnexpectedLine + line);
    }
}

void TMailIMAP4::TakeCapabilities(const std::vector<std::string>& lines, const std::string& last) {
    auto take = [this](const std::string& words) {
        Capabilities.clear();
        for (const std::string& w : SplitWords(words)) Capabilities.insert(w);
    };
    for (const std::string& line : lines) {
        if (StartsWith(line, "CAPABILITY ")) return take(line.substr(11));
        std::string rest;
        if (StartsWith(line, "OK [") && ResponseCode(line.substr(3), rest) == "CAPABILITY") return take(rest);
    }
    std::string rest;
    if (ResponseCode(last, rest) == "CAPABILITY") take(rest);
}

bool TMailIMAP4::Capability() {
    if (SendCmd("CAPABILITY", {"CAPABILITY"}) != "OK") return false;
    TakeCapabilities(LastReply.Text, "");
    return true;
}

void TMailIMAP4::Connect(bool autoLogin) {
    ConnectionState = TIMAPConnectionState::csNonAuthenticated;
    try {
        if (!Connected()) {
            Capabilities.clear();
            TMailExplicitTLSClient::Connect();
            pending_.clear();
            std::string code;
            try {
                code = ReadReply("", {"OK", "PREAUTH"});
            } catch (const EDiraError&) {
                Lost();
                throw;
            }
            GreetingBanner = LastReply.Last;
            TakeCapabilities({}, LastReply.Last);
            if (code == "PREAUTH") {
                ConnectionState = TIMAPConnectionState::csAuthenticated;
                counter_ = 0;
            } else if (code != "OK") {
                throw EDiraError(TErrorKind::ekReply, LastReply.Last);
            }
            if (Capabilities.empty()) Capability();
        }
        if (autoLogin && ConnectionState != TIMAPConnectionState::csAuthenticated) Login();
    } catch (...) {
        TMailExplicitTLSClient::Disconnect(false);
        ConnectionState = TIMAPConnectionState::csNonAuthenticated;
        throw;
    }
}

void TMailIMAP4::Login() {
    try {
        if (StartTlsDue()) {
            if (Capabilities.count("STARTTLS") > 0) {
                if (SendCmd("STARTTLS", {}) != "OK") TLSCommandRefused(false);
                TLSHandshake();
                Capabilities.clear();
                Capability();
            } else {
                ProcessTLSNotAvailable(false);
            }
        }
        ConnectionState = TIMAPConnectionState::csNonAuthenticated;
        counter_ = 0;
        if (OAuth != nullptr) {
            AuthenticateWithOAuth();
        } else {
            LoginWithPassword();
        }
        ConnectionState = TIMAPConnectionState::csAuthenticated;
        Capabilities.clear();
        TakeCapabilities(all_data_, LastReply.Last);
        if (Capabilities.empty()) Capability();
    } catch (...) {
        Disconnect();
        throw;
    }
}

void TMailIMAP4::LoginWithPassword() {
    std::string command = "LOGIN ";
    std::vector<std::string> literals;
    auto add = [&](const std::string& value, bool atom_allowed) {
        switch (ArgFormOf(value, atom_allowed)) {
            case TArgForm::Atom: command += value; break;
            case TArgForm::Quoted: command += Quoted(value); break;
            case TArgForm::Literal:
                command += '\x01';
                literals.push_back(value);
                break;
        }
    };
    add(Username, true);
    command += ' ';
    add(Password, false);
    if (SendCmd(command, {"OK"}, literals) != "OK") {
        throw EDiraError(TErrorKind::ekAuthentication, LastReply.Last);
    }
}

void TMailIMAP4::AuthenticateWithOAuth() {
    std::vector<std::string> offered;
    for (const std::string& capability : Capabilities) {
        if (StartsWithNoCase(capability, "AUTH=")) offered.push_back(capability.substr(5));
    }
    const std::optional<TOAuthMechanism> mechanism = ChooseOAuthMechanism(offered);
    if (!mechanism) throw EDiraError(TErrorKind::ekAuthentication, NoOAuthOfferedText("Der IMAP-Server"));
    std::string refusal;
    const auto attempt = [&](const std::string& token) { return TryOAuth(*mechanism, token, refusal); };
    if (SignInWithOneRenewal(*OAuth, attempt)) return;
    throw EDiraError(TErrorKind::ekAuthentication, refusal);
}

bool TMailIMAP4::TryOAuth(TOAuthMechanism mechanism, const std::string& token, std::string& refusal) {
    const std::string response = Base64Line(OAuthInitialResponse(mechanism, Username, token, Host, Port));
    const bool initial_response =
        std::any_of(Capabilities.begin(), Capabilities.end(), [](const std::string& c) { return EqualsNoCase(c, "SASL-IR"); });
    const std::string command = std::string("AUTHENTICATE ") + OAuthMechanismName(mechanism);
    std::string challenge;
    try {
        std::string code = SendCmd(initial_response ? command + " " + response : command, {});
        const std::string tag = "C" + std::to_string(counter_);
        // Each answer goes on the same tagged command; a lost connection is
        // handled as SendCmd handles it.
        const auto answer = [&](const std::string& line) {
            try {
                IO().WriteLn(line);
                return ReadReply(tag, {});
            } catch (const EDiraError&) {
                Lost();
                throw;
            }
        };
        if (code == "+" && !initial_response) code = answer(response);
        if (code == "+") {
            challenge = DescribeOAuthErrorChallenge(LastReply.Last);
            code = answer(OAuthErrorChallengeAnswer(mechanism));
        }
        if (code == "OK") return true;
        refusal = MaskSecrets(kOAuthRefused + LastReply.Code + " " + LastReply.Last +
                                  (challenge.empty() ? "" : " (" + challenge + ")"),
                              {token, response});
        return false;
    } catch (const EDiraError& e) {
        throw EDiraError(e.ErrorKind(), MaskSecrets(e.what(), {token, response}), e.ReplyCode());
    }
}

bool TMailIMAP4::SelectMailBox(const std::string& name) { return OpenMailBox("SELECT", name); }

bool TMailIMAP4::ExamineMailBox(const std::string& name) { return OpenMailBox("EXAMINE", name); }

bool TMailIMAP4::OpenMailBox(const std::string& verb, const std::string& name) {
    CheckState({TIMAPConnectionState::csAuthenticated, TIMAPConnectionState::csSelected});
    if (SendCmd(verb + " \"" + EncodeMailboxName(name) + "\"",
                {"FLAGS", "OK", "EXISTS", "RECENT", "[READ-WRITE]", "[READ-ONLY]", "[ALERT]"}) != "OK") {
        return false;
    }
    MailBox.Clear();
    std::vector<std::string> lines = LastReply.Text;
    lines.push_back("OK " + LastReply.Last);
    for (const std::string& line : lines) {
        const std::vector<std::string> words = SplitWords(line);
        if (words.size() >= 2 && words[1] == "EXISTS") MailBox.TotalMsgs = static_cast<std::uint32_t>(ToNumber(words[0]));
        if (words.size() >= 2 && words[1] == "RECENT") MailBox.RecentMsgs = static_cast<std::uint32_t>(ToNumber(words[0]));
        if (StartsWith(line, "FLAGS ")) {
            if (auto flags = ParenList(line, "FLAGS")) MailBox.Flags = *flags;
        }
        std::string rest;
        const std::string code = StartsWith(line, "OK ") ? ResponseCode(line.substr(3), rest) : "";
        if (code == "UIDVALIDITY") MailBox.UIDValidity = FirstWord(rest);
        if (code == "UIDNEXT") MailBox.UIDNext = FirstWord(rest);
        if (code == "UNSEEN") MailBox.FirstUnseenMsg = static_cast<std::uint32_t>(ToNumber(FirstWord(rest)));
        if (code == "PERMANENTFLAGS") {
            if (auto flags = ParenList(rest, "")) MailBox.PermanentFlags = *flags;
        }
        if (StartsWith(code, "READ-")) {
            MailBox.ReadOnly = ToUpperAscii(code.substr(5)) != "WRITE";
        }
    }
    MailBox.Name = name;
    ConnectionState = TIMAPConnectionState::csSelected;
    return true;
}

bool TMailIMAP4::RetrieveRaw(std::uint32_t number, TByteSink& sink, TIMAPFetchItems* items) {
    CheckNumber(number);
    const std::string wanted = std::to_string(number);
    return FetchMail("FETCH " + wanted + " (RFC822)",
                     [&](const std::string& head) { return FirstWord(head) == wanted; }, sink, 0, items);
}

bool TMailIMAP4::RetrieveRawByUID(const std::string& uid, TByteSink& sink, std::uint64_t max_size,
                                  TIMAPFetchItems* items) {
    if (!IsNumber(uid) || ToNumber(uid) < 1) throw EDiraError(TErrorKind::ekUsage, kImapNumberText);
    return FetchMail("UID FETCH " + uid + " (UID RFC822)",
                     [&](const std::string& head) { return NumberAfter(head, "UID") == uid; }, sink, max_size,
                     items);
}

bool TMailIMAP4::FetchMail(const std::string& command, const std::function<bool(const std::string&)>& is_wanted,
                           TByteSink& sink, std::uint64_t max_size, TIMAPFetchItems* items) {
    CheckState({TIMAPConnectionState::csSelected});
    const std::string tag = NewTag();
    TIMAPFetchItems got;
    try {
        IO().DiscardArrivedLines();
        pending_.clear();
        WriteCommand(tag, command, {});
        std::optional<std::uint64_t> size;
        std::string head;
        {
            // Other FETCH lines before the mail's (flag changes the server
            // reports on its own) are passed over, but not for ever.
            TDeadlineScope until_mail(IO().Transport(), IO().Transport().ReadLimit());
            for (;;) {
                if (ReadReply(tag, {"FETCH", "UID"}, true) != "OK" || LastReply.Text.empty()) return false;
                head = LastReply.Text.front();
                size = LiteralSize(head);
                if (size && is_wanted(head) && head.find("RFC822") != std::string::npos) break;
                std::string skipped = head;
                while (auto other = LiteralSize(skipped)) {
                    IO().SkipBytes(*other);
                    skipped = IO().ReadLn();
                }
            }
        }
        if (max_size != 0 && *size > max_size) {
            // The rest of the reply cannot be passed over in reasonable
            // time: the connection goes, the mail stays on the server.
            throw EDiraError(TErrorKind::ekTooLarge, "Der Server kündigt die Mail mit " + std::to_string(*size) +
                                                         " Bytes an, mehr als die erlaubten " +
                                                         std::to_string(max_size) + " Bytes.");
        }
        got.Size = *size;
        got.UID = NumberAfter(head, "UID");
        {
            TDeadlineScope transfer(IO().Transport(), TransferTimeLimit(IO().Transport().ReadLimit(), *size));
            TStopScope stoppable(IO().Transport(), StopRequested);
            std::string chunk;
            for (std::uint64_t left = *size; left > 0;) {
                const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(left, kChunk));
                chunk.clear();
                IO().ReadBytes(take, chunk);
                sink.Write(chunk);
                left -= take;
            }
        }
        const std::string rest = IO().ReadLn();
        if (got.UID.empty()) got.UID = NumberAfter(rest, "UID");
        if (auto flags = ParenList(rest, "FLAGS")) got.Flags = *flags;
        const std::string code = ReadReply(tag, {});
        if (items != nullptr) *items = got;
        return code == "OK";
    } catch (const EDiraError&) {
        Lost();
        throw;
    }
}

bool TMailIMAP4::Retrieve(std::uint32_t number, TMailMessage& message) {
    std::string mail;
    TStringSink sink(mail);
    TIMAPFetchItems items;
    if (!RetrieveRaw(number, sink, &items)) return false;
    LoadMessageFromMemory(message, mail);
    return true;
}

bool TMailIMAP4::GetUIDAndFlags(std::uint32_t number, TIMAPFetchItems& items) {
    CheckNumber(number);
    CheckState({TIMAPConnectionState::csSelected});
    items = TIMAPFetchItems();
    if (SendCmd("FETCH " + std::to_string(number) + " (UID FLAGS)", {"FETCH"}) != "OK") return false;
    for (const std::string& line : LastReply.Text) {
        if (FirstWord(line) != std::to_string(number)) continue;
        items.UID = NumberAfter(line, "UID");
        if (auto flags = ParenList(line, "FLAGS")) items.Flags = *flags;
        if (!items.UID.empty()) return true;
    }
    return false;
}

bool TMailIMAP4::ListMessages(std::vector<TIMAPFetchItems>& messages) {
    CheckState({TIMAPConnectionState::csSelected});
    messages.clear();
    // By UID: the server names the mails it really holds, whatever count
    // it announced, and an empty mailbox is no error.
    if (SendCmd("UID FETCH 1:* (UID FLAGS RFC822.SIZE)", {"FETCH"}) != "OK") return false;
    for (const std::string& line : LastReply.Text) {
        TIMAPFetchItems item;
        item.UID = NumberAfter(line, "UID");
        if (item.UID.empty()) continue;
        if (auto flags = ParenList(line, "FLAGS")) item.Flags = *flags;
        const std::string size = NumberAfter(line, "RFC822.SIZE");
        item.Size = size.size() > 18 ? UINT64_MAX : ToNumber(size);
        messages.push_back(std::move(item));
    }
    return true;
}

bool TMailIMAP4::FetchHeaderFields(const std::string& uid, const std::string& fields, std::string& header) {
    if (!IsNumber(uid) || ToNumber(uid) < 1) throw EDiraError(TErrorKind::ekUsage, kImapNumberText);
    CheckState({TIMAPConnectionState::csSelected});
    header.clear();
    if (SendCmd("UID FETCH " + uid + " (BODY.PEEK[HEADER.FIELDS (" + fields + ")])", {"FETCH"}) != "OK") {
        return false;
    }
    for (const std::string& line : LastReply.Text) {
        if (NumberAfter(line, "UID") != uid) continue;
        const std::size_t section = line.find("HEADER.FIELDS");
        const std::size_t open = section == std::string::npos ? section : line.find("] {", section);
        const std::size_t close = open == std::string::npos ? open : line.find('}', open);
        if (close == std::string::npos) continue;
        const std::uint64_t size = ToNumber(std::string_view(line).substr(open + 3, close - open - 3));
        header = line.substr(close + 1, static_cast<std::size_t>(std::min<std::uint64_t>(size, line.size())));
        return true;
    }
    return false;
}

bool TMailIMAP4::GetUID(std::uint32_t number, std::string& uid) {
    CheckNumber(number);
    CheckState({TIMAPConnectionState::csSelected});
    uid.clear();
    if (SendCmd("FETCH " + std::to_string(number) + " (UID)", {"FETCH"}) != "OK") return false;
    for (const std::string& line : LastReply.Text) {
        if (FirstWord(line) != std::to_string(number)) continue;
        uid = NumberAfter(line, "UID");
        if (!uid.empty()) return true;
    }
    return false;
}

bool TMailIMAP4::UIDDeleteMsg(const std::string& uid) {
    if (!IsNumber(uid) || ToNumber(uid) < 1) throw EDiraError(TErrorKind::ekUsage, kImapNumberText);
    CheckState({TIMAPConnectionState::csSelected});
    return SendCmd("UID STORE " + uid + " +FLAGS.SILENT (\\Deleted)", {}) == "OK";
}

bool TMailIMAP4::ExpungeMailBox() {
    CheckState({TIMAPConnectionState::csSelected});
    if (SendCmd("EXPUNGE", {"EXPUNGE"}) != "OK") return false;
    for (const std::string& line : LastReply.Text) {
        if (ResponseWord(line) == "EXPUNGE" && MailBox.TotalMsgs > 0) --MailBox.TotalMsgs;
    }
    return true;
}

void TMailIMAP4::SendFarewell() { SendCmd("LOGOUT", {"BYE"}); }

void TMailIMAP4::Disconnect() {
    try {
        TMailExplicitTLSClient::Disconnect(true);
    } catch (const EDiraError&) {
    }
    ConnectionState = TIMAPConnectionState::csNonAuthenticated;
    Capabilities.clear();
}

}  // namespace kdv
