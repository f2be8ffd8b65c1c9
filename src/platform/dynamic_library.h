#pragma once
// Libraries that are looked up at run time, so the program starts (and can
// report a clear error) on a machine where an optional client library is
// missing.
#include <memory>
#include <string>

namespace kdv {

class TDynamicLibrary {
public:
    // Loads the library by file name or path. Returns nullptr when it does
    // not load and puts the system's reason into ErrorText.
    static std::unique_ptr<TDynamicLibrary> Load(const std::string& Name, std::string& ErrorText);

    ~TDynamicLibrary();
    TDynamicLibrary(const TDynamicLibrary&) = delete;
    TDynamicLibrary& operator=(const TDynamicLibrary&) = delete;

    // Address of an exported entry point, or nullptr when it has none.
    void* Symbol(const char* Name) const;

    const std::string& Name() const { return FName; }

private:
    TDynamicLibrary(void* Handle, std::string Name);
    void* FHandle;
    std::string FName;
};

}  // namespace kdv
