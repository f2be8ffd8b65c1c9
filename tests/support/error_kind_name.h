#pragma once
// A short word for each error kind, so a table of expected outcomes reads
// "error timeout …" instead of a number.
#include "platform/dira_error.h"

namespace kdv::testing {

inline const char* KindName(TErrorKind kind) {
    switch (kind) {
        case TErrorKind::ekOther: return "other";
        case TErrorKind::ekTimeout: return "timeout";
        case TErrorKind::ekRefused: return "refused";
        case TErrorKind::ekPeerClosed: return "closed";
        case TErrorKind::ekTls: return "tls";
        case TErrorKind::ekAuthentication: return "auth";
        case TErrorKind::ekReply: return "reply";
        case TErrorKind::ekLineTooLong: return "toolong";
        case TErrorKind::ekLocal: return "local";
        case TErrorKind::ekCancelled: return "cancelled";
        case TErrorKind::ekTooLarge: return "toolarge";
        case TErrorKind::ekDbConnectionLost: return "dblost";
        case TErrorKind::ekUsage: return "usage";
        case TErrorKind::ekMalformed: return "malformed";
    }
    return "?";
}

}  // namespace kdv::testing
