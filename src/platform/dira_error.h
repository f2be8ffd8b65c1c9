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
    ekDbConnectionLost,  // the database connection is gone; the connection was closed
    ekUsage,           // a call the object cannot take: missing settings, wrong state, argument out of range
    ekMalformed,       // input that breaks its format or a reader's limit; read again, it fails alike
};

class EDiraError : public std::runtime_error {
public:
    // Every raise site names its kind (ekOther where none fits), so a
    // caller tells failures apart by kind, never by text or type.
    EDiraError(TErrorKind kind, const std::string& message, int reply_code = 0)
        : std::runtime_error(message), error_kind_(kind), reply_code_(reply_code) {}

    TErrorKind ErrorKind() const { return error_kind_; }
    // The numeric reply code for ekReply and ekAuthentication errors of
    // protocols that have one (SMTP); 0 otherwise.
    int ReplyCode() const { return reply_code_; }

private:
    TErrorKind error_kind_ = TErrorKind::ekOther;
    int reply_code_ = 0;
};

}  // namespace kdv
