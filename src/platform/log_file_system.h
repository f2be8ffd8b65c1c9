#pragma once
// The handful of file operations the rotating log needs, behind a seam so a
// test can refuse a move, fill the disk or pull a folder away.
#include <filesystem>
#include <memory>
#include <string_view>

namespace kdv {

// A log file opened for appending. Other processes may read it meanwhile.
class ILogFileHandle {
public:
    virtual ~ILogFileHandle() = default;
    // Appends the bytes at the end of the file. On failure raises EDiraError
    // with the system's message, and none of the bytes stay in the file, so a
    // half-written line can never merge with the next one.
    virtual void Write(std::string_view bytes) = 0;
    // Hands everything written so far to the operating system; raises on failure.
    virtual void Flush() = 0;
    // Closes the file. The handle is closed afterwards even when this raises
    // (with the system's message).
    virtual void Close() = 0;
    // True while `path` still names the file this handle writes into; false
    // after the file was removed or replaced behind the writer's back.
    virtual bool IsStillAt(const std::filesystem::path& path) const = 0;
};

class ILogFileSystem {
public:
    virtual ~ILogFileSystem() = default;
    // True when a directory entry of that name exists (a dangling link counts,
    // because a move onto it would fail as well). Errors count as "absent".
    virtual bool FileExists(const std::filesystem::path& path) = 0;
    // Creates the folder with all missing parents. True when it exists as a
    // folder afterwards; an empty path means the current folder (true).
    virtual bool ForceDirectories(const std::filesystem::path& folder) = 0;
    // Opens the file for appending, creating it when missing. Raises EDiraError
    // with the system's message on failure.
    virtual std::unique_ptr<ILogFileHandle> OpenAppend(const std::filesystem::path& path) = 0;
    // Moves a file and never overwrites: false when the target exists, the
    // source is missing or the system refuses. Across volumes it copies and then
    // removes the source; a failed copy or removal leaves the source in place
    // and no target behind.
    virtual bool MoveFileNoReplace(const std::filesystem::path& from,
                                   const std::filesystem::path& to) = 0;
};

// The machine's own file system; lives for the whole process.
ILogFileSystem& SystemLogFileSystem();

}  // namespace kdv
