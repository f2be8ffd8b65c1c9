#include "support/private_file_check.h"

#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <memory>
#endif

namespace kdv::testing {

#ifdef _WIN32

std::string WhyNotPrivate(const std::filesystem::path& file) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(file.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &descriptor) != ERROR_SUCCESS) {
        return "no access list could be read";
    }
    const std::unique_ptr<void, decltype(&LocalFree)> hold(descriptor, &LocalFree);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    if ((control & SE_DACL_PROTECTED) == 0) return "the folder's rights are inherited";
    if (dacl == nullptr) return "no access list: everybody may open it";
    if (dacl->AceCount != 1) return std::to_string(dacl->AceCount) + " entries in the access list";
    void* entry = nullptr;
    if (!GetAce(dacl, 0, &entry)) return "the access list cannot be read";
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
    if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) return "the one entry does not allow";

    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return "the process's user is unknown";
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::string buffer(size, '\0');
    const bool known = GetTokenInformation(token, TokenUser, buffer.data(), size, &size) != 0;
    CloseHandle(token);
    if (!known) return "the process's user is unknown";
    const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
    const PSID owner = const_cast<DWORD*>(&allowed->SidStart);
    if (!EqualSid(owner, user->User.Sid)) return "the one entry is for another account";
    return {};
}

#else

std::string WhyNotPrivate(const std::filesystem::path& file) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::perms mode = fs::status(file, error).permissions() & fs::perms::all;
    if (error) return error.message();
    if (mode != (fs::perms::owner_read | fs::perms::owner_write)) {
        char text[8];
        std::snprintf(text, sizeof text, "%03o", static_cast<unsigned>(mode));
        return std::string("mode ") + text;
    }
    return {};
}

#endif

}  // namespace kdv::testing
