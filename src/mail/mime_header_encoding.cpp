#include "mail/mime_header_encoding.h"

#include <algorithm>
#include <cstdio>
#include <random>

#include "mail/charset.h"
#include "mail/mail_address.h"
#include "mail/mail_header_params.h"
#include "mail/mime_encoders.h"
#include "mail/mail_text_util.h"
#include "mail/mime_header_words.h"
#include "platform/header_charset.h"
#include "platform/host_name.h"

namespace kdv {
using namespace mailtext;
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

// Random characters of a Message-ID: 62^20 values, far beyond any collision.
constexpr std::size_t kMessageIdRandomLength = 20;

std::mt19937_64& RandomSource() {
    thread_local std::mt19937_64 random{std::random_device{}()};
    return random;
}

// A domain that can stand on the right of a Message-ID as it is.
bool IsMessageIdDomain(std::string_view domain) {
    if (domain.empty() || domain.front() == '.' || domain.back() == '.') return false;
    return std::all_of(domain.begin(), domain.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
               c == '.' || c == '_';
    });
}

std::string RandomAlphanumeric(std::size_t length) {
    static constexpr char kChars[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kChars - 2);
    std::string text(length, ' ');
    for (char& c : text) c = kChars[pick(RandomSource())];
    return text;
}

bool IsWordBreak(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsRfc822Special(unsigned char c) {
    return std::string_view("()<>@,;:\\\".[]").find(static_cast<char>(c)) != std::string_view::npos;
}

// Bytes a Q-encoded word may carry as they are: in a display name only the
// few that RFC 2047 allows in a phrase.
bool IsQLiteral(unsigned char c, THeaderWordContext context) {
    if (context == THeaderWordContext::DisplayName) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               std::string_view("!*+-/").find(static_cast<char>(c)) != std::string_view::npos;
    }
    return c > 32 && c < 127 && c != '=' && c != '?' && c != '_';
}

std::size_t QLength(unsigned char c, THeaderWordContext context) {
    return c == ' ' || IsQLiteral(c, context) ? 1 : 3;
}

// The bytes of one encoded word fit one base64 line; its line break is not wanted.
void AppendBase64(std::string& out, std::string_view bytes) {
    TBase64Encoder encoder;
    encoder.Step(bytes, out);
    encoder.Finish(out);
    if (out.ends_with("\r\n")) out.resize(out.size() - 2);
}

void AppendQ(std::string& out, std::string_view bytes, THeaderWordContext context) {
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == ' ') {
            out += '_';
        } else if (IsQLiteral(c, context)) {
            out += ch;
        } else {
            out += '=';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
}

// Writes one run of bytes as encoded words of at most kMaxEncodedWordLength
// characters each. In UTF-8 a word never ends inside a character, so every
// word decodes on its own, as RFC 2047 requires.
void AppendEncodedRun(std::string& out, std::string_view bytes, const THeaderEncoding& encoding,
                      THeaderWordContext context) {
    const std::string open = "=?" + encoding.Charset + "?" + encoding.Letter + "?";
    const std::size_t room = kMaxEncodedWordLength - open.size() - 2;
    const bool utf8 = IsUtf8CharsetName(encoding.Charset);
    const auto isContinuation = [&](std::size_t i) {
        return utf8 && i < bytes.size() && (static_cast<unsigned char>(bytes[i]) & 0xC0) == 0x80;
    };
    bool first = true;
    while (!bytes.empty()) {
        std::size_t take = 0;
        if (encoding.Letter == 'B') {
            take = std::min(bytes.size(), room / 4 * 3);
        } else {
            std::size_t length = 0;
            while (take < bytes.size() && length + QLength(static_cast<unsigned char>(bytes[take]), context) <= room) {
                length += QLength(static_cast<unsigned char>(bytes[take]), context);
                ++take;
            }
        }
        const std::size_t fitting = take;
        while (take > 0 && take < bytes.size() && isContinuation(take)) --take;
        if (take == 0) take = fitting;  // a broken sequence longer than a word: cut it anyway
        if (!first) out += ' ';
        first = false;
        out += open;
        if (encoding.Letter == 'B') {
            AppendBase64(out, bytes.substr(0, take));
        } else {
            AppendQ(out, bytes.substr(0, take), context);
        }
        out += "?=";
        bytes.remove_prefix(take);
    }
}

bool IsPrintableAscii(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 32 || static_cast<unsigned char>(c) > 126) return false;
    }
    return true;
}

// The address itself: bare, or (with `angle`) in angle brackets. The item's
// own text form already quotes a local part that needs it.
std::string AddressPart(const std::string& address, bool angle) {
    if (address.empty()) return angle ? "<>" : std::string();
    std::string form = TMailEMailAddressItem(address, std::string()).Text();
    if (angle && (form.empty() || form.front() != '<')) form = "<" + form + ">";
    return form;
}

}  // namespace

bool IsUtf8CharsetName(std::string_view charset) {
    return EqualsNoCase(charset, "UTF-8") || EqualsNoCase(charset, "UTF8");
}

THeaderEncoding HeaderEncodingForCharset(std::string_view charset) {
    THeaderEncoding encoding;
    encoding.Charset = std::string(charset);
    encoding.Letter = EqualsNoCase(charset, "ISO-8859-1") ? 'Q' : 'B';
    return encoding;
}

THeaderEncoding HostHeaderEncoding() { return HeaderEncodingForCharset(LocaleHeaderCharset()); }

std::string EncodeHeaderWords(std::string_view text, const THeaderEncoding& encoding, THeaderWordContext context) {
    if (text.empty()) return {};
    const std::string bytes =
        IsUtf8CharsetName(encoding.Charset) ? std::string(text) : CharsetToTextEncoding(encoding.Charset)->FromUtf8(text);
    // A "=" may stay only where it cannot be taken for the start of an encoded word.
    const bool equalsIsPlain = DecodeHeaderWords(text) == text;
    const auto isPlain = [&](unsigned char c) {
        if (c < 32 || c > 126) return false;
        if (c == '=' && !equalsIsPlain) return false;
        return context == THeaderWordContext::Text || !IsRfc822Special(c);
    };

    std::string out;
    std::size_t runStart = std::string::npos;  // first byte of the open encoded run
    std::size_t runEnd = 0;                    // end of its last word
    const auto closeRun = [&] {
        if (runStart == std::string::npos) return;
        AppendEncodedRun(out, std::string_view(bytes).substr(runStart, runEnd - runStart), encoding, context);
        runStart = std::string::npos;
    };
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const std::size_t wordStart = bytes.find_first_not_of(" \t\r\n", pos);
        if (wordStart == std::string::npos) break;
        std::size_t wordEnd = wordStart;
        bool plain = true;
        while (wordEnd < bytes.size() && !IsWordBreak(bytes[wordEnd])) {
            plain = plain && isPlain(static_cast<unsigned char>(bytes[wordEnd]));
            ++wordEnd;
        }
        if (plain) {
            closeRun();
            out.append(bytes, pos, wordEnd - pos);
        } else {
            if (runStart == std::string::npos) {
                out.append(bytes, pos, wordStart - pos);
                runStart = wordStart;
            }
            runEnd = wordEnd;
        }
        pos = wordEnd;
    }
    closeRun();
    out.append(bytes, pos, std::string::npos);
    return out;
}

std::string FormatAddressItem(const TMailEMailAddressItem& item, const THeaderEncoding& encoding,
                              bool nameFromAddress) {
    std::string name = item.Name;
    if (name.empty() && nameFromAddress) name = item.Address;
    if (name.empty()) return AddressPart(item.Address, false);
    std::string form;
    if (IsPrintableAscii(name)) {
        form = QuotedString(name);
    } else {
        form = EncodeHeaderWords(name, encoding, THeaderWordContext::DisplayName);
    }
    form += ' ';
    form += AddressPart(item.Address, true);
    return form;
}

std::string FormatAddressList(const TMailEMailAddressList& list, const THeaderEncoding& encoding,
                              bool nameFromAddress) {
    std::string text;
    for (std::size_t i = 0; i < list.Count(); ++i) {
        const TMailEMailAddressItem& item = list[i];
        if (item.Address.empty() && item.Name.empty()) continue;
        if (!text.empty()) text += ", ";
        text += FormatAddressItem(item, encoding, nameFromAddress);
    }
    return text;
}

std::string FormatMailDate(LocalTime local, std::chrono::minutes utcOffset) {
    using namespace std::chrono;
    static constexpr const char* kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const auto day = floor<days>(local);
    const year_month_day ymd{day};
    const hh_mm_ss<seconds> time{floor<seconds>(local - day)};
    const weekday wd{day};
    const long offset = utcOffset.count();
    const long absOffset = offset < 0 ? -offset : offset;
    char text[64];
    std::snprintf(text, sizeof text, "%s, %u %s %04d %02ld:%02ld:%02ld %c%02ld%02ld", kWeekdays[wd.c_encoding()],
                  static_cast<unsigned>(ymd.day()), kMonths[static_cast<unsigned>(ymd.month()) - 1],
                  static_cast<int>(ymd.year()), static_cast<long>(time.hours().count()),
                  static_cast<long>(time.minutes().count()), static_cast<long>(time.seconds().count()),
                  offset < 0 ? '-' : '+', absOffset / 60, absOffset % 60);
    return text;
}

std::string NewMimeBoundary() {
    std::string boundary = RandomAlphanumeric(kMimeBoundaryLength);
    std::uniform_int_distribution<std::size_t> place(0, kMimeBoundaryLength - 2);
    const std::size_t at = place(RandomSource());
    boundary[at] = '=';
    boundary[at + 1] = '_';
    return boundary;
}

std::string NewMessageId(std::string_view entryId, std::string_view senderAddress) {
    TMailEMailAddressItem sender;
    sender.SetText(senderAddress);
    std::string domain = sender.Domain();
    if (!IsMessageIdDomain(domain)) domain = LocalHostName();
    if (!IsMessageIdDomain(domain)) domain = "localhost";
    return "<" + RandomAlphanumeric(kMessageIdRandomLength) + "." + std::string(TrimBlanks(entryId)) + "@" + domain +
           ">";
}

}  // namespace kdv
