#pragma once
// The one error type of the database layer. Its message is what callers log:
// "[DiraDB][MySQL] " + the client library's or server's text for errors they
// report, "[DiraDB][MySQL]-<code>. <text>" for errors of the layer itself.
#include <string>

#include "platform/dira_error.h"

namespace kdv {

// Codes of the layer's own errors.
namespace db_code {
inline constexpr int kNoConnection = 301;
inline constexpr int kParamNotFound = 302;
inline constexpr int kFieldNotFound = 303;
inline constexpr int kNotOpen = 304;
inline constexpr int kIdentifierTooLong = 305;
inline constexpr int kEmptyText = 306;
inline constexpr int kDriverId = 307;
inline constexpr int kOpenWithoutResult = 308;
inline constexpr int kBadParameter = 309;
inline constexpr int kExecWithResult = 310;
inline constexpr int kParamsWhileConnected = 311;
inline constexpr int kNotAnInteger = 312;
inline constexpr int kClosedByHandler = 313;
inline constexpr int kLoadLibrary = 314;
inline constexpr int kEntryPoints = 315;
inline constexpr int kStatementTooLarge = 316;
inline constexpr int kServerVersion = 1101;
}  // namespace db_code

// Its ErrorKind() is ekDbConnectionLost when the server connection is gone
// (the layer has closed the connection by then) and ekLocal for every other
// failure; the native number tells the rest.
class EDbError : public EDiraError {
public:
    // An error reported by the client library or the server.
    EDbError(int native_error, const std::string& library_text, int error_offset = -1);

    // An error of the layer itself.
    static EDbError Layer(int code, const std::string& text);

    // The client library's error number (0 for the layer's own errors).
    int NativeError() const { return native_error_; }
    // The layer's code (0 for native errors).
    int LayerCode() const { return layer_code_; }
    // For a syntax error: byte offset in the text sent to the server where
    // the failing part starts; -1 when unknown.
    int ErrorOffset() const { return error_offset_; }
    // The statement, or a value for its column, is larger than the server
    // takes: sent again, it fails alike.
    bool TooLarge() const;
    // The server refused the login.
    bool AccessDenied() const;
    // The row would repeat a unique key.
    bool DuplicateKey() const;
    // The statement text does not parse; see ErrorOffset.
    bool SyntaxError() const;

    // The native numbers that mean the server connection is gone.
    static bool IsServerGone(int native_error);

private:
    EDbError(TErrorKind kind, const std::string& message, int native_error, int layer_code, int error_offset);
    int native_error_;
    int layer_code_;
    int error_offset_;
};

}  // namespace kdv
