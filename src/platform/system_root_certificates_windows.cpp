#include "platform/system_root_certificates.h"

#include <windows.h>
#include <wincrypt.h>

namespace kdv {
namespace {

void AddStore(DWORD location, const wchar_t* name, std::vector<std::string>& certificates) {
    HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                       location | CERT_STORE_READONLY_FLAG | CERT_STORE_OPEN_EXISTING_FLAG, name);
    if (store == nullptr) return;
    for (PCCERT_CONTEXT cert = ::CertEnumCertificatesInStore(store, nullptr); cert != nullptr;
         cert = ::CertEnumCertificatesInStore(store, cert)) {
        if (cert->dwCertEncodingType & X509_ASN_ENCODING) {
            certificates.emplace_back(reinterpret_cast<const char*>(cert->pbCertEncoded), cert->cbCertEncoded);
        }
    }
    ::CertCloseStore(store, 0);
}

}  // namespace

std::vector<std::string> SystemRootCertificates() {
    std::vector<std::string> certificates;
    // What Windows itself trusts: the machine's roots (where an administrator
    // or a group policy puts the company's own), the third-party roots
    // Windows keeps up to date, and the roots of the account the service
    // runs as. A root in more than one store counts once in the TLS library.
    AddStore(CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT", certificates);
    AddStore(CERT_SYSTEM_STORE_LOCAL_MACHINE, L"AuthRoot", certificates);
    AddStore(CERT_SYSTEM_STORE_CURRENT_USER, L"ROOT", certificates);
    return certificates;
}

}  // namespace kdv
