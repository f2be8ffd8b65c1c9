// Socket error texts and kinds, and address literals.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <netdb.h>

#include <cerrno>
#endif

#include "platform/socket.h"

namespace kdv {
namespace {

struct TErrorCase {
    const char* name;
    int error;
    const char* text;
    TErrorKind kind;
};

class SocketErrors : public ::testing::TestWithParam<TErrorCase> {};

TEST_P(SocketErrors, NumberTextAndKind) {
    const TErrorCase& c = GetParam();
    EXPECT_EQ(SocketErrorText(c.error), "Socket-Fehler # " + std::to_string(c.error) + "\r\n" + c.text);
    EXPECT_EQ(SocketErrorKind(c.error), c.kind);
    try {
        RaiseSocketError(c.error);
    } catch (const EDiraError& error) {
        EXPECT_EQ(error.ErrorKind(), c.kind);
    }
}

#ifdef _WIN32
// The same German texts under Windows' socket error numbers.
INSTANTIATE_TEST_SUITE_P(
    Table, SocketErrors,
    ::testing::Values(TErrorCase{"Refused", WSAECONNREFUSED, "Verbindung abgelehnt.", TErrorKind::ekRefused},
                      TErrorCase{"HostUnreachable", WSAEHOSTUNREACH, "Host nicht erreichbar.", TErrorKind::ekRefused},
                      TErrorCase{"NetworkUnreachable", WSAENETUNREACH, "Netzwerk nicht erreichbar.",
                                 TErrorKind::ekRefused},
                      TErrorCase{"HostNotFound", WSAHOST_NOT_FOUND, "Host nicht gefunden.", TErrorKind::ekRefused},
                      TErrorCase{"Reset", WSAECONNRESET, "Verbindung wurde vom Peer zurückgesetzt.",
                                 TErrorKind::ekPeerClosed},
                      TErrorCase{"Aborted", WSAECONNABORTED, "Verbindung abgebrochen.", TErrorKind::ekPeerClosed},
                      TErrorCase{"TimedOut", WSAETIMEDOUT, "Zeitüberschreitung der Verbindung.",
                                 TErrorKind::ekTimeout}),
    [](const auto& info) { return std::string(info.param.name); });
#else
INSTANTIATE_TEST_SUITE_P(
    Table, SocketErrors,
    ::testing::Values(TErrorCase{"Refused", ECONNREFUSED, "Verbindung abgelehnt.", TErrorKind::ekRefused},
                      TErrorCase{"HostUnreachable", EHOSTUNREACH, "Host nicht erreichbar.", TErrorKind::ekRefused},
                      TErrorCase{"NetworkUnreachable", ENETUNREACH, "Netzwerk nicht erreichbar.",
                                 TErrorKind::ekRefused},
                      TErrorCase{"HostNotFound", EAI_NONAME, "Host nicht gefunden.", TErrorKind::ekRefused},
                      TErrorCase{"Reset", ECONNRESET, "Verbindung wurde vom Peer zurückgesetzt.",
                                 TErrorKind::ekPeerClosed},
                      TErrorCase{"BrokenPipe", EPIPE, "Verbindung wurde vom Peer geschlossen.",
                                 TErrorKind::ekPeerClosed},
                      TErrorCase{"TimedOut", ETIMEDOUT, "Zeitüberschreitung der Verbindung.", TErrorKind::ekTimeout},
                      TErrorCase{"OtherUsesTheSystemText", EACCES, "Permission denied", TErrorKind::ekOther}),
    [](const auto& info) { return std::string(info.param.name); });
#endif

TEST(IpAddressLiteral, TellsAddressesFromNames) {
    EXPECT_TRUE(IsIpAddressLiteral("127.0.0.1"));
    EXPECT_TRUE(IsIpAddressLiteral("::1"));
    EXPECT_TRUE(IsIpAddressLiteral("2001:db8::5"));
    EXPECT_FALSE(IsIpAddressLiteral("localhost"));
    EXPECT_FALSE(IsIpAddressLiteral("mail.example.org"));
    EXPECT_FALSE(IsIpAddressLiteral("127.0.0.1.example"));
    EXPECT_FALSE(IsIpAddressLiteral(""));
}

}  // namespace
}  // namespace kdv
