#pragma once
// A loopback server for client tests, driven by a table of steps: it waits
// for the client's lines, answers with prepared lines, and can misbehave on
// cue (close at once or in the middle of a line, stall, send an over-long
// line or garbage, start TLS with a certificate made for the test). It
// records every line the client sent, so a test can compare the exact
// dialogue.
//
//   TScriptedPeer peer({Send("+OK ready"), Expect("USER anna"), Send("+OK"), CloseNow()});
//   client.Connect("127.0.0.1", peer.Port());
//   ...
//   EXPECT_EQ(peer.Transcript(), (std::vector<std::string>{"USER anna"}));
//   EXPECT_EQ(peer.Failures(), "");
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct ssl_ctx_st;

namespace kdv::testing {

// Certificates the peer can present; all are made once per test process.
enum class TPeerCertificate {
    SelfSigned,  // its own issuer, for "localhost" and 127.0.0.1
    CaSigned,    // issued by the test CA, for "localhost" and 127.0.0.1
    Expired,     // issued by the test CA, valid until yesterday
    WrongHost,   // issued by the test CA, for "other.example" only
};

// Protocol versions the peer accepts.
enum class TPeerTlsVersions {
    Tls12AndUp,
    Tls13Only,
    Tls10Only,
};

struct TPeerStep {
    enum class TKind {
        Expect,        // the client's next line must be `text`
        ExpectAny,     // the client's next line, whatever it is
        ExpectData,    // client lines up to and including "."
        Send,          // `text` as it stands (the makers add CR LF to lines)
        CloseNow,      // close the connection
        Stall,         // send nothing for `duration` (or until the client closes)
        StartTls,      // TLS handshake as server
        Drip,          // `text` one byte at a time, `duration` apart, until the client closes
        Flood,         // `text` over and over for `duration`, as fast as the client takes it
    };
    TKind kind;
    std::string text;
    std::chrono::milliseconds duration{0};
    TPeerCertificate certificate = TPeerCertificate::SelfSigned;
    TPeerTlsVersions versions = TPeerTlsVersions::Tls12AndUp;
};

TPeerStep Expect(std::string line);
TPeerStep ExpectAny();
TPeerStep ExpectData();
TPeerStep Send(std::string line);             // the line and CR LF
TPeerStep SendLines(const std::vector<std::string>& lines);
TPeerStep SendRaw(std::string bytes);         // the bytes as they stand
TPeerStep SendLineOfLength(std::size_t length, char fill = 'x');  // that many bytes, then CR LF
TPeerStep SendGarbage(std::size_t length);    // bytes that are no protocol: controls, high bytes, no line break
TPeerStep CloseNow();
TPeerStep CloseMidLine(std::string partial);  // sends `partial` without a line break, then closes
TPeerStep Stall(std::chrono::milliseconds duration);
TPeerStep StartTls(TPeerCertificate certificate = TPeerCertificate::SelfSigned,
                   TPeerTlsVersions versions = TPeerTlsVersions::Tls12AndUp);
// A server that makes progress too slowly to hit a wait's limit: `bytes`
// one at a time, `interval` apart; the script ends when the client closes.
TPeerStep Drip(std::string bytes, std::chrono::milliseconds interval);
// A server that sends without end: `unit` again and again for `duration`
// (or until the client closes, which ends the script).
TPeerStep Flood(std::string unit, std::chrono::milliseconds duration);

class TScriptedPeer {
public:
    // Listens on `address` at a free port and serves one connection with the
    // script. After the last step it keeps recording client lines until the
    // client closes (or the peer is destroyed).
    explicit TScriptedPeer(std::vector<TPeerStep> script, const std::string& address = "127.0.0.1");
    ~TScriptedPeer();
    TScriptedPeer(const TScriptedPeer&) = delete;
    TScriptedPeer& operator=(const TScriptedPeer&) = delete;

    std::uint16_t Port() const;

    // The following wait until the connection has ended (at most `limit`;
    // after that the peer closes it itself).
    // Every line the client sent, without its CR LF.
    std::vector<std::string> Transcript(std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Empty when every step went as written; otherwise one line per deviation
    // (an unexpected line, a line not ended by CR LF, a failed handshake).
    std::string Failures(std::chrono::milliseconds limit = std::chrono::seconds(10));
    // The server name the client indicated in its last TLS handshake (empty:
    // none) and the protocol version agreed ("TLSv1.3", ...).
    std::string ServerName(std::chrono::milliseconds limit = std::chrono::seconds(10));
    std::string TlsVersion(std::chrono::milliseconds limit = std::chrono::seconds(10));

private:
    struct TState;
    std::unique_ptr<TState> state_;
};

// PEM texts of the test certificates, for files a client is told to trust:
// the test CA, and the self-signed certificate (its own CA).
const std::string& TestCaCertificatePem();
const std::string& SelfSignedCertificatePem();

// A server-side TLS context (TLS 1.2 and up) presenting `certificate`, for
// the other test servers (the token endpoint). The caller frees it with
// SSL_CTX_free.
::ssl_ctx_st* MakeTestServerTlsContext(TPeerCertificate certificate);

// Whether this machine's TLS library can still serve TLS 1.0.
bool PeerCanServeTls10();

}  // namespace kdv::testing
