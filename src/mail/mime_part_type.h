#pragma once
// Whether a received part is text or an attachment, and its file name.
#include <optional>
#include <string>
#include <string_view>

namespace kdv {

enum class TMailMessageCoderPartType { mcptText, mcptAttachment, mcptIgnore, mcptEOF };

// Replaces every character that no file system takes in a name ("\", "/",
// ":", "*", "?", "\"", "<", ">", "|") by "_". Folder parts of the name stay
// in the text, but can no longer lead out of the folder it is stored in.
std::string RemoveInvalidCharsFromFilename(std::string_view name);

// The file name a part's headers give: the disposition's "filename", else the
// content type's "name" (each also in its RFC 2231 form "filename*" with
// charset and continuations), encoded words decoded, invalid characters
// replaced. Empty when neither parameter is there.
std::string GetAttachmentFilename(std::string_view content_type, std::string_view content_disposition);

struct TMailPartKind {
    TMailMessageCoderPartType type = TMailMessageCoderPartType::mcptText;
    std::string file_name;
};

// A part is an attachment when its disposition says "attachment", or, unless
// it is a multipart, when it has a file name or its media type is other than
// text/plain and text/html. A missing type, and "text" without subtype, count
// as text/plain (the caller supplies what a digest implies).
TMailPartKind CheckAndSetType(std::string_view content_type, std::string_view content_disposition);

// A parameter in either form: plain ("boundary=x") or, when that is absent,
// RFC 2231 ("boundary*=us-ascii''x", or in numbered sections). nullopt when
// neither is there.
std::optional<std::string> MimeParam(std::string_view value, std::string_view param);

// The value without the parameter in any of its forms.
std::string RemoveMimeParam(std::string_view value, std::string_view param);

// The media type of a Content-Type value, lower case ("text/plain").
std::string MediaTypeOf(std::string_view content_type);

}  // namespace kdv
