#pragma once
// A fresh folder under the system's temporary folder, removed with the object.
#include <filesystem>
#include <string>

namespace kdv::testing {

class TTempDir {
public:
    // The folder is made in `base` (a second volume, for instance).
    explicit TTempDir(const std::string& prefix = "diravid-test",
                      const std::filesystem::path& base = std::filesystem::temp_directory_path());
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    const std::filesystem::path& Path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

}  // namespace kdv::testing
