#pragma once
// Security for files that only the service's own user may open (kept
// attachments of received mail, secrets): an access list with one entry,
// full access for the user the process runs as, and nothing inherited from
// the folder. Only the Windows twins of this folder include it.
#include <windows.h>

namespace kdv {

class TPrivateFileSecurity {
public:
    TPrivateFileSecurity();
    ~TPrivateFileSecurity();
    TPrivateFileSecurity(const TPrivateFileSecurity&) = delete;
    TPrivateFileSecurity& operator=(const TPrivateFileSecurity&) = delete;

    // For CreateFileW; null when the process's user could not be found out,
    // and then the call is to be refused rather than made with the
    // folder's rights (see Ok).
    SECURITY_ATTRIBUTES* Attributes() { return descriptor_ != nullptr ? &attributes_ : nullptr; }
    bool Ok() const { return descriptor_ != nullptr; }
    // Why it is not Ok: the system's error number.
    DWORD Error() const { return error_; }

private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
    SECURITY_ATTRIBUTES attributes_{};
    DWORD error_ = ERROR_SUCCESS;
};

}  // namespace kdv
