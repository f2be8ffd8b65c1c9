#include "platform/dynamic_library.h"

#include <dlfcn.h>

namespace kdv {

std::unique_ptr<TDynamicLibrary> TDynamicLibrary::Load(const std::string& Name, std::string& ErrorText) {
    dlerror();
    void* handle = dlopen(Name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = dlerror();
        ErrorText = reason != nullptr ? reason : Name + ": cannot be loaded";
        return nullptr;
    }
    return std::unique_ptr<TDynamicLibrary>(new TDynamicLibrary(handle, Name));
}

TDynamicLibrary::TDynamicLibrary(void* Handle, std::string Name) : FHandle(Handle), FName(std::move(Name)) {}

TDynamicLibrary::~TDynamicLibrary() {
    dlclose(FHandle);
}

void* TDynamicLibrary::Symbol(const char* Name) const {
    return dlsym(FHandle, Name);
}

}  // namespace kdv
