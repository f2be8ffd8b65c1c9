#pragma once
// Failures are exceptions that carry a German message text; every layer
// raises a type derived from this one so a job boundary can catch them all.
// The kind tells callers what happened without comparing texts: whether a
// mail stays pending, whether a connection is worth another try.
#include <stdexcept>
#include <string>

namespace kdv {

enum class TErrorKind {
    ekOther,
    ekTimeout,         // no progress within the time limit (connect or read)
    ekRefused,         // no connection came about: refused, unreachable, name not found
    ekPeerClosed,      // the peer closed or reset the connection
    ekTls,             // TLS library, handshake or certificate failure
    ekAuthentication,  // the server refused the credentials
    ekReply,           // the server answered with a reply the dialogue cannot accept
    ekLineTooLong,     // a line beyond the connection's limit
    ekLocal,           // a local failure: file system, database
    ekCancelled,       // a stop request ended the wait
    ekTooLarge,        // the peer announced or sent more than the service takes
};

class EDiraError : public std::runtime_error {
public:
    // An error of kind ekOther.
    explicit EDiraError(const std::string& Message) : std::runtime_error(Message) {}
    EDiraError(TErrorKind Kind, const std::string& Message, int ReplyCode = 0)
        : std::runtime_error(Message), FErrorKind(Kind), FReplyCode(ReplyCode) {}

    TErrorKind ErrorKind() const { return FErrorKind; }
    // The numeric reply code for ekReply and ekAuthentication errors of
    // protocols that have one (SMTP); 0 otherwise.
    int ReplyCode() const { return FReplyCode; }

private:
    TErrorKind FErrorKind = TErrorKind::ekOther;
    int FReplyCode = 0;
};

}  // namespace kdv
