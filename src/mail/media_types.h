#pragma once
// Media type of a file from its name's extension, for attaching files.
#include <string>
#include <string_view>

namespace kdv {

// Given to any extension the built-in table does not know.
inline constexpr std::string_view kDefaultMediaType = "application/octet-stream";

// Media type of an extension with its dot (".pdf"), compared without case;
// kDefaultMediaType when unknown or empty.
std::string MediaTypeOfExtension(std::string_view extension);

// Media type of a file name or path (UTF-8) by its extension: the text from
// the last dot of the last path element on. A name without extension gives
// kDefaultMediaType.
std::string MediaTypeOfFileName(std::string_view fileName);

}  // namespace kdv
