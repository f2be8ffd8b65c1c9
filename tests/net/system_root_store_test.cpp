// With the check on and no trust file, a server is trusted when the system
// trusts its root. On Windows that is the certificate store, which the TLS
// library does not read by itself; the case puts the test CA into the
// machine's root store for its run and takes it out again.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#include <wincrypt.h>
#endif

#include "net/mail_ssl_io_handler.h"
#include "net/net_test_util.h"
#include "support/scripted_peer.h"

namespace kdv::testing {
namespace {

#ifdef _WIN32
// The test CA in LocalMachine\ROOT while the object lives.
class TTrustedTestCa {
public:
    TTrustedTestCa() {
        const std::string& pem = TestCaCertificatePem();
        DWORD size = 0;
        ::CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, nullptr, &size,
                               nullptr, nullptr);
        std::string der(size, '\0');
        if (!::CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                                    reinterpret_cast<BYTE*>(der.data()), &size, nullptr, nullptr)) {
            ADD_FAILURE() << "the test CA does not decode";
            return;
        }
        store_ = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT");
        if (store_ == nullptr) {
            ADD_FAILURE() << "no machine root store: " << ::GetLastError();
            return;
        }
        if (!::CertAddEncodedCertificateToStore(store_, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                                size, CERT_STORE_ADD_REPLACE_EXISTING, &added_)) {
            ADD_FAILURE() << "the test CA is not taken into the store: " << ::GetLastError();
        }
    }
    ~TTrustedTestCa() {
        // Deleting frees the context as well.
        if (added_ != nullptr) ::CertDeleteCertificateFromStore(added_);
        if (store_ != nullptr) ::CertCloseStore(store_, 0);
    }
    TTrustedTestCa(const TTrustedTestCa&) = delete;
    TTrustedTestCa& operator=(const TTrustedTestCa&) = delete;

private:
    HCERTSTORE store_ = nullptr;
    PCCERT_CONTEXT added_ = nullptr;
};
#endif

// A POP3-like link with implicit TLS, the check on and no trust file.
void ConnectCheckedWithoutTrustFile(const TScriptedPeer& peer) {
    TMailSSLIOHandlerSocketOpenSSL tls;
    tls.SSLOptions.SetSSLVersions({TMailSSLVersion::sslvTLSv1_2});
    tls.SSLOptions.Mode = TMailSSLMode::sslmClient;
    tls.SSLOptions.VerifyMode = {TMailSSLVerifyModeFlag::sslvrfPeer};
    TTestClient client;
    client.SetIOHandler(&tls);
    client.SetUseTLS(TUseTLS::utUseImplicitTLS);
    client.Host = "localhost";
    client.Port = peer.Port();
    client.ReadTimeout = 3000;
    client.Connect();
    EXPECT_EQ(client.IO().ReadLn(), "+OK");
}

TEST(SystemRootStore, TrustsAServerWhoseRootTheSystemTrusts) {
#ifndef _WIN32
    GTEST_SKIP() << "the system's store here is the TLS library's default paths, which the test may not change";
#else
    // Only the trusted side: the process keeps the TLS settings it built
    // first (the store is read once per process), and the refusal without
    // the root is the certificate table's "UnknownIssuerRefusedWhenChecked".
    TTrustedTestCa trusted;
    TScriptedPeer known({StartTls(TPeerCertificate::CaSigned), Send("+OK")});
    ConnectCheckedWithoutTrustFile(known);
#endif
}

}  // namespace
}  // namespace kdv::testing
