#include "platform/windows_private_file.h"

#include <sddl.h>

#include <string>
#include <vector>

namespace kdv {
namespace {

// The SID of the user the process runs as, in its text form; empty with
// `error` set when it cannot be read.
std::wstring ProcessUserSid(DWORD& error) {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        error = ::GetLastError();
        return {};
    }
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size > 0 ? size : 1);
    std::wstring text;
    if (::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
        wchar_t* sid = nullptr;
        if (::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid)) {
            text = sid;
            ::LocalFree(sid);
        } else {
            error = ::GetLastError();
        }
    } else {
        error = ::GetLastError();
    }
    ::CloseHandle(token);
    return text;
}

}  // namespace

TPrivateFileSecurity::TPrivateFileSecurity() {
    const std::wstring sid = ProcessUserSid(error_);
    if (sid.empty()) return;
    // "P": protected, nothing inherited from the folder; one entry, full
    // file access for that user. The owner keeps the right to change the
    // list, so the user can still share such a file on purpose.
    const std::wstring sddl = L"D:P(A;;FA;;;" + sid + L")";
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor_,
                                                                nullptr)) {
        error_ = ::GetLastError();
        descriptor_ = nullptr;
        return;
    }
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = descriptor_;
    attributes_.bInheritHandle = FALSE;
}

TPrivateFileSecurity::~TPrivateFileSecurity() {
    if (descriptor_ != nullptr) ::LocalFree(descriptor_);
}

}  // namespace kdv
