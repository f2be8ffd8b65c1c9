#include "platform/system_root_certificates.h"

#include <windows.h>
#include <wincrypt.h>

namespace kdv {

std::vector<std::string> SystemRootCertificates() {
    std::vector<std::string> certificates;
    // The store a Windows administrator (or a group policy) fills with the
    // company's own root next to the public ones.
    HCERTSTORE store = ::CertOpenSystemStoreW(0, L"ROOT");
    if (store == nullptr) return certificates;
    for (PCCERT_CONTEXT cert = ::CertEnumCertificatesInStore(store, nullptr); cert != nullptr;
         cert = ::CertEnumCertificatesInStore(store, cert)) {
        if (cert->dwCertEncodingType & X509_ASN_ENCODING) {
            certificates.emplace_back(reinterpret_cast<const char*>(cert->pbCertEncoded), cert->cbCertEncoded);
        }
    }
    ::CertCloseStore(store, 0);
    return certificates;
}

}  // namespace kdv
