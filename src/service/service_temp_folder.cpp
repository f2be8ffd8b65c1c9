#include "service/service_temp_folder.h"

#include <charconv>
#include <cstdint>
#include <string>
#include <system_error>

#include "platform/dira_error.h"
#include "platform/process_alive.h"
#include "platform/path_text.h"

namespace kdv {
namespace {

namespace fs = std::filesystem;

// The process id a subfolder is named after, or 0 when the name is none.
std::int64_t ProcessIdOf(const fs::path& name) {
    const std::string text = PathToUtf8(name);
    std::int64_t pid = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), pid);
    if (error != std::errc() || end != text.data() + text.size()) return 0;
    return pid;
}

void RemoveLeftovers(const fs::path& parent) {
    std::error_code ec;
    for (fs::directory_iterator it(parent, ec), end; !ec && it != end; it.increment(ec)) {
        const std::int64_t pid = ProcessIdOf(it->path().filename());
        if (pid <= 0 || IsProcessAlive(pid)) continue;
        std::error_code ignored;
        fs::remove_all(it->path(), ignored);
    }
}

}  // namespace

fs::path PrepareServiceTempFolder(const fs::path& home) {
    const fs::path parent = home / kTempFolderName;
    const fs::path folder = parent / std::to_string(CurrentProcessId());
    RemoveLeftovers(parent);
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec || !fs::is_directory(folder))
        throw EDiraError(TErrorKind::ekLocal, "Temporärer Ordner " + PathToUtf8(folder) + " kann nicht angelegt werden: " +
                         (ec ? ec.message() : std::string("kein Ordner")));
    return folder;
}

void RemoveServiceTempFolder(const fs::path& folder) noexcept {
    if (folder.empty()) return;
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}

}  // namespace kdv
