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

TDbErrorKind KindOf(int NativeError) {
    if (EDbError::IsServerGone(NativeError)) return TDbErrorKind::ekServerGone;
    switch (NativeError) {
        case kErAccessDenied: return TDbErrorKind::ekAccessDenied;
        case kErDupEntry: return TDbErrorKind::ekDuplicateKey;
        case kErParseError: return TDbErrorKind::ekSyntax;
        default: return TDbErrorKind::ekOther;
    }
}

}  // namespace

EDbError::EDbError(int NativeError, const std::string& LibraryText, int ErrorOffset)
    : EDbError(std::string(kPrefix) + " " + LibraryText, NativeError, 0, KindOf(NativeError), ErrorOffset) {}

EDbError::EDbError(const std::string& Message, int NativeError, int LayerCode, TDbErrorKind Kind, int ErrorOffset)
    : EDiraError(TErrorKind::ekLocal, Message), FNativeError(NativeError), FLayerCode(LayerCode), FKind(Kind), FErrorOffset(ErrorOffset) {}

EDbError EDbError::Layer(int Code, const std::string& Text) {
    return EDbError(std::string(kPrefix) + "-" + std::to_string(Code) + ". " + Text, 0, Code, TDbErrorKind::ekLayer, -1);
}

bool EDbError::TooLarge() const {
    return FNativeError == kErDataTooLong || FLayerCode == db_code::kStatementTooLarge;
}

bool EDbError::IsServerGone(int NativeError) {
    // 2055 and 4031 are newer libraries' and servers' names for a dropped
    // connection. After 1053, 1153 and 1927 the server closes the connection
    // itself: treated as anything else, the dead connection would fail the
    // next statement too.
    return NativeError == kCrConnHostError || NativeError == kCrServerGoneError || NativeError == kCrServerLost ||
           NativeError == kCrServerLostExtended || NativeError == kErClientInteractionTimeout ||
           NativeError == kErServerShutdown || NativeError == kErNetPacketTooLarge ||
           NativeError == kErConnectionKilled;
}

}  // namespace kdv
