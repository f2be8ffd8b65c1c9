#pragma once
// Creation of a new, uniquely named file for content that lives only as long
// as the object that made it (received mail attachments).
#include <filesystem>
#include <string_view>

namespace kdv {

// Creates a new empty file with a random name ending in `extension` (".tmp")
// in `folder`, readable and writable by this user only, and returns its full
// path. The file did not exist before: an existing file is never opened.
// Throws EDiraError when no file could be created there.
std::filesystem::path CreateUniqueTempFile(const std::filesystem::path& folder, std::string_view extension);

}  // namespace kdv
