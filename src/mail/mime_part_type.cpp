#include "mail/mime_part_type.h"

#include "mail/mail_header_params.h"
#include "mail/mail_text_util.h"
#include "mail/mime_header_words.h"
#include "mail/mime_text_decoding.h"
#include "mail/charset.h"
#include "platform/ascii_text.h"

#include <optional>

namespace kdv {
namespace {

// RFC 2231 splits long values into numbered sections; more than this many is
// no real file name, and stopping keeps a hostile header cheap.
constexpr int kMaxParamSections = 100;

std::string PercentDecode(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size()) {
            const int hi = HexDigitValue(s[i + 1]), lo = HexDigitValue(s[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<char>(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        out.push_back(s[i]);
    }
    return out;
}

// The RFC 2231 form of a parameter ("name*=utf-8''a%20b" or "name*0*=..;
// name*1=.."), turned into UTF-8; nullopt when the value has none.
std::optional<std::string> ExtendedParam(std::string_view value, std::string_view param) {
    const std::string base(param);
    std::string bytes;
    std::string charset;
    bool found = false;
    auto take = [&](std::string_view raw, bool extended, bool first) {
        std::string_view v = raw;
        if (extended && first) {
            const std::size_t q1 = v.find('\'');
            const std::size_t q2 = q1 == std::string_view::npos ? q1 : v.find('\'', q1 + 1);
            if (q2 != std::string_view::npos) {
                charset.assign(v.substr(0, q1));
                v = v.substr(q2 + 1);
            }
        }
        bytes.append(extended ? PercentDecode(v) : std::string(v));
    };
    if (auto single = FindHeaderParam(value, base + "*")) {
        take(*single, true, true);
        found = true;
    } else {
        for (int n = 0; n < kMaxParamSections; ++n) {
            const std::string numbered = base + "*" + std::to_string(n);
            if (auto ext = FindHeaderParam(value, numbered + "*")) {
                take(*ext, true, n == 0);
            } else if (auto plain = FindHeaderParam(value, numbered)) {
                take(*plain, false, n == 0);
            } else {
                break;
            }
            found = true;
        }
    }
    if (!found) return std::nullopt;
    return TextEncodingForCharset(charset)->ToUtf8(bytes);
}

std::string ParamOf(std::string_view value, std::string_view param) {
    if (auto plain = FindHeaderParam(value, param); plain && !plain->empty()) return DecodeHeaderWords(*plain);
    if (auto extended = ExtendedParam(value, param)) return *extended;
    return {};
}

}  // namespace

std::optional<std::string> MimeParam(std::string_view value, std::string_view param) {
    if (auto plain = FindHeaderParam(value, param)) return plain;
    return ExtendedParam(value, param);
}

std::string RemoveMimeParam(std::string_view value, std::string_view param) {
    const std::string base(param);
    std::string result = RemoveHeaderParam(value, base);
    if (!FindHeaderParam(result, base + "*") && !FindHeaderParam(result, base + "*0") &&
        !FindHeaderParam(result, base + "*0*"))
        return result;
    result = RemoveHeaderParam(result, base + "*");
    for (int n = 0; n < kMaxParamSections; ++n) {
        const std::string numbered = base + "*" + std::to_string(n);
        if (!FindHeaderParam(result, numbered) && !FindHeaderParam(result, numbered + "*")) break;
        result = RemoveHeaderParam(RemoveHeaderParam(result, numbered), numbered + "*");
    }
    return result;
}

std::string RemoveInvalidCharsFromFilename(std::string_view name) {
    std::string out(name);
    for (char& c : out) {
        switch (c) {
        case '\\': case '/': case ':': case '*': case '?': case '"': case '<': case '>': case '|':
            c = '_';
            break;
        default:
            break;
        }
    }
    return out;
}

std::string GetAttachmentFilename(std::string_view content_type, std::string_view content_disposition) {
    std::string name = ParamOf(content_disposition, "filename");
    if (name.empty()) name = ParamOf(content_type, "name");
    return RemoveInvalidCharsFromFilename(name);
}

std::string MediaTypeOf(std::string_view content_type) { return ToLowerAscii(HeaderItem(content_type)); }

TMailPartKind CheckAndSetType(std::string_view content_type, std::string_view content_disposition) {
    TMailPartKind kind;
    kind.file_name = GetAttachmentFilename(content_type, content_disposition);
    std::string media = MediaTypeOf(content_type);
    if (media.empty() || media == "text") media = "text/plain";
    const bool attachment_disposition = ToLowerAscii(HeaderItem(content_disposition)) == "attachment";
    bool attachment = attachment_disposition;
    if (media.rfind("multipart/", 0) != 0) {
        // Only plain text and HTML are read as the mail's text; a calendar, a
        // table or any file sent along is kept as a file.
        const bool readable_text = media == "text/plain" || media == "text/html";
        attachment = attachment || !readable_text || !kind.file_name.empty();
    }
    kind.type = attachment ? TMailMessageCoderPartType::mcptAttachment : TMailMessageCoderPartType::mcptText;
    return kind;
}

}  // namespace kdv
