#pragma once
// A mail client of the program (POP3, IMAP, SMTP) talking to a scripted
// peer, for the dialogue tests of the clients: the client points at the
// peer with the test's account, an action's outcome reads as one line of
// text so a table of cases compares plain strings, and the transcript is
// taken only after the client has let go of the connection.
//
//   TScriptedMailClient<TMailPOP3> dialogue({Send("+OK"), ...}, "anna", "geheim");
//   EXPECT_EQ(dialogue.Outcome([](TMailPOP3& c) { c.Connect(); return ...; }), "...");
//   EXPECT_EQ(dialogue.Transcript(), (std::vector<std::string>{"CAPA", ...}));
//   EXPECT_EQ(dialogue.Failures(), "");
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "net/mail_tls_client.h"
#include "platform/dira_error.h"
#include "support/error_kind_name.h"
#include "support/scripted_peer.h"

namespace kdv::testing {

// Long enough for a sanitizer build on a busy machine; a case that waits
// for it has gone wrong anyway.
inline constexpr int kScriptedPeerReadTimeoutMs = 5000;

// "error <kind> <message>": how a table of outcomes spells a raised error.
inline std::string ErrorOutcome(const EDiraError& e) {
    return std::string("error ") + KindName(e.ErrorKind()) + " " + e.what();
}

template <typename TClient>
class TScriptedMailClient {
public:
    TScriptedMailClient(std::vector<TPeerStep> script, const std::string& username = "",
                        const std::string& password = "")
        : Peer(std::move(script)) {
        Client.Host = "127.0.0.1";
        Client.Port = Peer.Port();
        Client.ReadTimeout = kScriptedPeerReadTimeoutMs;
        Client.Username = username;
        Client.Password = password;
    }

    // What the action returned, or the error it raised as ErrorOutcome
    // spells it. Errors with more to tell (a reply's code) are the
    // action's own to catch.
    std::string Outcome(const std::function<std::string(TClient&)>& action) {
        try {
            return action(Client);
        } catch (const EDiraError& e) {
            return ErrorOutcome(e);
        }
    }

    // Closes the connection without a farewell, as the service does when it
    // frees a transport, so the peer sees the end of the dialogue; the
    // client's own farewell, when a case wants it, goes out before.
    void Close() { Client.TMailExplicitTLSClient::Disconnect(false); }

    // Every line the client sent (after Close).
    std::vector<std::string> Transcript() {
        Close();
        return Peer.Transcript();
    }

    // How the dialogue strayed from the script, "" when it did not (after Close).
    std::string Failures() {
        Close();
        return Peer.Failures();
    }

    // The peer first: the client goes before it and closes its side.
    TScriptedPeer Peer;
    TClient Client;
};

}  // namespace kdv::testing
