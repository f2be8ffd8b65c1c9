#pragma once
// Whether a received part is text or an attachment, and its file name.
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

// A part is an attachment when its media type is neither text/* nor
// multipart/* (a missing type counts as neither) or its disposition says
// "attachment"; a file name alone does not make it one.
TMailPartKind CheckAndSetType(std::string_view content_type, std::string_view content_disposition);

// The media type of a Content-Type value, lower case ("text/plain").
std::string MediaTypeOf(std::string_view content_type);

}  // namespace kdv
