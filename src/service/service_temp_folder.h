#pragma once
// The service's own temporary folder: received attachments are decoded there
// instead of the system's temporary folder, where a full disk or another user
// could interfere. Each process has its own subfolder, so an import beside the
// running service never touches the service's files.
#include <filesystem>

namespace kdv {

// The folder below the home folder that holds one subfolder per process.
inline constexpr const char* kTempFolderName = "temp";

// Creates home/"temp"/<this process id> and returns it, after removing the
// subfolders of processes that no longer run (their files were left by a
// crash). Other names there are left alone. Raises EDiraError "Temporärer
// Ordner <path> kann nicht angelegt werden: <reason>" when the folder cannot
// be made.
std::filesystem::path PrepareServiceTempFolder(const std::filesystem::path& home);

// Removes the folder with what is left in it; failures are ignored.
void RemoveServiceTempFolder(const std::filesystem::path& folder) noexcept;

}  // namespace kdv
