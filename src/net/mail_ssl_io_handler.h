#pragma once
// The TLS transport: passes bytes through unencrypted until pass-through is
// switched off, then runs them through a TLS channel on the open socket.
#include <cstdint>
#include <set>
#include <string>

#include "net/mail_io_handler.h"

struct ssl_ctx_st;
struct ssl_st;

namespace kdv {

enum class TMailSSLVersion { sslvSSLv2, sslvSSLv23, sslvSSLv3, sslvTLSv1, sslvTLSv1_1, sslvTLSv1_2 };
enum class TMailSSLMode { sslmUnassigned, sslmClient, sslmServer, sslmBoth };
enum class TMailSSLVerifyModeFlag { sslvrfPeer, sslvrfFailIfNoPeerCert, sslvrfClientOnce };

using TMailSSLVersions = std::set<TMailSSLVersion>;
using TMailSSLVerifyMode = std::set<TMailSSLVerifyModeFlag>;

class TMailSSLOptions {
public:
    // With VerifyMode holding sslvrfPeer: the trusted roots (empty: the
    // system's store).
    std::string RootCertFile;
    std::string CertFile;
    std::string KeyFile;
    std::string DHParamsFile;
    TMailSSLMode Mode = TMailSSLMode::sslmUnassigned;
    int VerifyDepth = 0;
    // Empty: the server's certificate is not checked. sslvrfPeer: its chain,
    // its dates and its host name are.
    TMailSSLVerifyMode VerifyMode;
    std::string VerifyDirs;
    std::string CipherList;

    TMailSSLVersion Method() const { return method_; }
    const TMailSSLVersions& SSLVersions() const { return versions_; }
    // sslvSSLv23 allows every version; any other method allows just itself.
    void SetMethod(TMailSSLVersion method);
    // One version sets the method to it; more make the method sslvSSLv23
    // (which is dropped from the set; an empty result allows every version).
    void SetSSLVersions(const TMailSSLVersions& versions);

private:
    TMailSSLVersion method_ = TMailSSLVersion::sslvTLSv1;
    TMailSSLVersions versions_{TMailSSLVersion::sslvTLSv1};
};

class TMailSSLIOHandlerSocketOpenSSL final : public TMailIOHandler {
public:
    TMailSSLIOHandlerSocketOpenSSL();
    ~TMailSSLIOHandlerSocketOpenSSL() override;

    TMailSSLOptions SSLOptions;

    // True: bytes go unencrypted. Switching it off on an open connection
    // runs the handshake; switching it on shuts the TLS link down.
    bool PassThrough() const { return pass_through_; }
    void SetPassThrough(bool value);

    void Open() override;
    void Close() override;
    bool TlsCapable() const override { return true; }
    void StartTls() override { SetPassThrough(false); }
    // The protocol of the TLS link ("TLSv1.3"); empty while the bytes go
    // unencrypted.
    std::string TlsVersion() const;

protected:
    TIoStatus ReceiveStep(char* buffer, std::size_t size, std::size_t& received) override;
    TIoStatus SendStep(const char* data, std::size_t size, std::size_t& sent) override;

private:
    void InitContext();
    void Handshake();
    void ShutdownLink();
    TIoStatus StepStatus(int rc, int system_error, const char* what);

    bool pass_through_ = true;
    ssl_ctx_st* context_ = nullptr;
    ssl_st* ssl_ = nullptr;
};

// How a server's certificate is checked: with `verify` its chain, dates and
// host name, against `root_cert_file` (UTF-8) when that is not empty (else the
// system's store).
struct TCertificateCheck {
    bool verify = false;
    std::string root_cert_file;
};

void ApplyCertificateSettings(TMailSSLOptions& options, const TCertificateCheck& check);

}  // namespace kdv
