#pragma once
// Files that are created new and never replace an existing one: stored
// attachment files and kept copies of mails. A failure names the operating
// system's reason, and a file that could not be written whole is removed.
#include <cstdint>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace kdv {

// Who may read a new file.
enum class TNewFileRights {
    // As a new document of the user: read and write for all, less what the
    // umask takes away, so the application's other users can open it.
    Shared,
    // Read and write for the service's own user only.
    Private,
};

class TNewFile {
public:
    TNewFile() = default;
    // Closes a file still open and removes it: a file that was not closed
    // successfully holds only part of its content.
    ~TNewFile();
    TNewFile(const TNewFile&) = delete;
    TNewFile& operator=(const TNewFile&) = delete;

    // Creates `path` as a new empty file for writing. Returns
    // std::errc::file_exists when the name is taken (also by a link or a
    // folder), else the system's code; nothing is created then.
    std::error_code Create(const std::filesystem::path& path, TNewFileRights rights = TNewFileRights::Shared);

    // Appends the bytes; the system's code on failure.
    std::error_code Write(std::string_view bytes);

    // Writes the file through to the disk and closes it; the system's code
    // on failure, in which case the file has been removed.
    std::error_code Close();

    // Closes and removes the file (nothing happens when none is open).
    void Discard() noexcept;

    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
    // The system's handle of the open file (a descriptor on Linux, a HANDLE on
    // Windows); -1 when none is open, which is also Windows' invalid handle.
    std::intptr_t fd_ = -1;
};

}  // namespace kdv
