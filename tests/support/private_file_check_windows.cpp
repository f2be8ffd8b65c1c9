#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <vector>

#include "platform/windows_text.h"
#include "support/private_file_check.h"
#include "support/wine_check.h"

namespace kdv::testing {
namespace {

std::string SidText(PSID sid) {
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(sid, &text)) return "?";
    std::string result = Utf8FromWide(text);
    ::LocalFree(text);
    return result;
}

// The account this process runs as; empty when it cannot be read.
std::vector<unsigned char> ProcessUser() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    const bool known = size > 0 && ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size) != 0;
    ::CloseHandle(token);
    if (!known) return {};
    return buffer;
}

}  // namespace

std::string WhyNotPrivate(const std::filesystem::path& file) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetNamedSecurityInfoW(file.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                nullptr, &descriptor) != ERROR_SUCCESS) {
        return "no access list could be read";
    }
    const std::unique_ptr<void, decltype(&::LocalFree)> hold(descriptor, &::LocalFree);
    if (dacl == nullptr) return "no access list: everybody may open it";
    const std::vector<unsigned char> user_buffer = ProcessUser();
    if (user_buffer.empty()) return "the process's user is unknown";
    const PSID user = reinterpret_cast<const TOKEN_USER*>(user_buffer.data())->User.Sid;

    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ::GetSecurityDescriptorControl(descriptor, &control, &revision);
    // Wine keeps no access list with a file: it turns the list it is given
    // into Unix mode bits and reads back one made from them, never
    // protected, where the local system account always has an entry. What
    // it can show is that nobody else got one; Windows shows the list as it
    // was set, and is held to it.
    const bool wine = RunsUnderWine();
    if ((control & SE_DACL_PROTECTED) == 0 && !wine) return "the folder's rights are inherited";

    std::unique_ptr<void, decltype(&::FreeSid)> system(nullptr, &::FreeSid);
    SID_IDENTIFIER_AUTHORITY nt_authority = SECURITY_NT_AUTHORITY;
    PSID system_sid = nullptr;
    if (::AllocateAndInitializeSid(&nt_authority, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system_sid)) {
        system.reset(system_sid);
    }
    std::string others;
    int user_entries = 0;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(dacl, i, &entry)) return "the access list cannot be read";
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;  // a denial opens nothing
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        const PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        if (::EqualSid(sid, user)) {
            ++user_entries;
        } else if (!(wine && system_sid != nullptr && ::EqualSid(sid, system_sid))) {
            others += (others.empty() ? "" : ", ") + SidText(sid);
        }
    }
    if (!others.empty()) return "open to others too: " + others;
    if (user_entries != 1) return std::to_string(user_entries) + " entries for the running account";
    return {};
}

}  // namespace kdv::testing
