#pragma once
// Creation of a new, uniquely named file for content that lives only as long
// as the object that made it (received mail attachments).
#include <cstdint>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace kdv {

// Creates a new empty file with a random name ending in `extension` (".tmp")
// in `folder`, readable and writable by this user only, and returns its full
// path. The file did not exist before: an existing file is never opened.
// Throws EDiraError when no file could be created there.
std::filesystem::path CreateUniqueTempFile(const std::filesystem::path& folder, std::string_view extension);

// A file made like CreateUniqueTempFile's, kept open and written again for
// each new content: one file for a stream of received mails instead of a
// file created and removed per mail. A new content overwrites the old one
// and the file is then cut to its length; it is never cut to zero, which
// ext4 answers by writing the file to disk at once on every close.
class TReusedTempFile {
public:
    // Throws EDiraError (kind ekLocal) when no file could be created.
    TReusedTempFile(const std::filesystem::path& folder, std::string_view extension);
    // Closes and removes the file.
    ~TReusedTempFile();
    TReusedTempFile(const TReusedTempFile&) = delete;
    TReusedTempFile& operator=(const TReusedTempFile&) = delete;

    // Starts a new content at the beginning of the file.
    void Rewind() { written_ = 0; }
    // Appends to the content; the system's code on failure.
    std::error_code Write(std::string_view bytes);
    // Ends the content: the file holds exactly what was written since
    // Rewind and can be read by its path. The system's code on failure.
    std::error_code Finish();
    // Reads up to `size` bytes at `offset` into `buffer`; safe beside a
    // Write on another thread. Sets `read` (0 at the end of the file).
    std::error_code ReadAt(std::uint64_t offset, char* buffer, std::size_t size, std::size_t& read) const;

    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
    // The system's handle of the open file (a descriptor on Linux, a HANDLE on
    // Windows); -1 when none is open, which is also Windows' invalid handle.
    std::intptr_t fd_ = -1;
    std::uint64_t written_ = 0;
    std::uint64_t length_ = 0;  // of the file on disk
};

}  // namespace kdv
