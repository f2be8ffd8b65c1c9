#include "db/db_error.h"

namespace kdv {
namespace {

constexpr const char* kPrefix = "[DiraDB][MySQL]";

// Native numbers of the client library and the server.
constexpr int kCrConnHostError = 2003;
constexpr int kCrServerGoneError = 2006;
constexpr int kCrServerLost = 2013;
constexpr int kCrServerLostExtended = 2055;
constexpr int kErClientInteractionTimeout = 4031;
// Errors the server sends just before it closes the connection.
constexpr int kErServerShutdown = 1053;
constexpr int kErNetPacketTooLarge = 1153;
constexpr int kErConnectionKilled = 1927;
constexpr int kErAccessDenied = 1045;
constexpr int kErDupEntry = 1062;
constexpr int kErParseError = 1064;
constexpr int kErDataTooLong = 1406;

TErrorKind KindOf(int native_error) {
    return EDbError::IsServerGone(native_error) ? TErrorKind::ekDbConnectionLost : TErrorKind::ekLocal;
}

}  // namespace

EDbError::EDbError(int native_error, const std::string& library_text, int error_offset)
    : EDbError(KindOf(native_error), std::string(kPrefix) + " " + library_text, native_error, 0, error_offset) {}

EDbError::EDbError(TErrorKind kind, const std::string& message, int native_error, int layer_code, int error_offset)
    : EDiraError(kind, message), native_error_(native_error), layer_code_(layer_code), error_offset_(error_offset) {}

EDbError EDbError::Layer(int code, const std::string& text) {
    return EDbError(TErrorKind::ekLocal, std::string(kPrefix) + "-" + std::to_string(code) + ". " + text, 0, code, -1);
}

bool EDbError::TooLarge() const {
    return native_error_ == kErDataTooLong || layer_code_ == db_code::kStatementTooLarge;
}

bool EDbError::AccessDenied() const { return native_error_ == kErAccessDenied; }

bool EDbError::DuplicateKey() const { return native_error_ == kErDupEntry; }

bool EDbError::SyntaxError() const { return native_error_ == kErParseError; }

bool EDbError::IsServerGone(int native_error) {
    // 2055 and 4031 are newer libraries' and servers' names for a dropped
    // connection. After 1053, 1153 and 1927 the server closes the connection
    // itself: treated as anything else, the dead connection would fail the
    // next statement too.
    return native_error == kCrConnHostError || native_error == kCrServerGoneError || native_error == kCrServerLost ||
           native_error == kCrServerLostExtended || native_error == kErClientInteractionTimeout ||
           native_error == kErServerShutdown || native_error == kErNetPacketTooLarge ||
           native_error == kErConnectionKilled;
}

}  // namespace kdv
