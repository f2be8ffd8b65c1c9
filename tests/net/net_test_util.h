#pragma once
// Helpers shared by the connection tests.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "net/mail_ssl_io_handler.h"
#include "net/mail_tls_client.h"
#include "platform/dira_error.h"
#include "support/expect_raises.h"

namespace kdv::testing {

// A bare protocol client over the connection layer: it exposes the TLS steps
// a protocol client drives and says "QUIT" as its farewell.
class TTestClient : public TMailExplicitTLSClient {
public:
    TTestClient() : TMailExplicitTLSClient(110, 995, 110) {}
    TTestClient(std::uint16_t regular, std::uint16_t implicit_tls, std::uint16_t explicit_tls)
        : TMailExplicitTLSClient(regular, implicit_tls, explicit_tls) {}
    using TMailExplicitTLSClient::ProcessTLSNotAvailable;
    using TMailExplicitTLSClient::StartTlsDue;
    using TMailExplicitTLSClient::TLSCommandRefused;
    using TMailExplicitTLSClient::TLSHandshake;

protected:
    void SendFarewell() override { IO().WriteLn("QUIT"); }
};

}  // namespace kdv::testing
