#include "net/mail_io_handler.h"

namespace kdv {

TMailIOHandler::TMailIOHandler() = default;

TMailIOHandler::~TMailIOHandler() = default;

std::chrono::milliseconds TMailIOHandler::ReadLimit() const {
    return std::chrono::milliseconds(ReadTimeout > 0 ? ReadTimeout : kDefaultTimeLimitMs);
}

std::chrono::milliseconds TMailIOHandler::ConnectLimit() const {
    return ConnectTimeout > 0 ? std::chrono::milliseconds(ConnectTimeout) : ReadLimit();
}

void TMailIOHandler::Open() {
    Close();
    socket_ = TSocket::Connect(Host, Port, IPVersion, ConnectLimit());
}

void TMailIOHandler::Close() {
    socket_.reset();
}

TSocket& TMailIOHandler::Socket() {
    if (!socket_) throw EDiraError(kNotConnected);
    return *socket_;
}

void TMailIOHandler::StartTls() {
    throw EDiraError(TErrorKind::ekTls, "SSL IOHandler ist für diese Einstellung erforderlich");
}

TMailIOHandler::TIoStatus TMailIOHandler::ReceiveStep(char* buffer, std::size_t size, std::size_t& received) {
    switch (Socket().Receive(buffer, size, received)) {
        case TReceiveResult::Data: return TIoStatus::Done;
        case TReceiveResult::Closed: return TIoStatus::Closed;
        case TReceiveResult::WouldBlock: break;
    }
    return TIoStatus::WantRead;
}

TMailIOHandler::TIoStatus TMailIOHandler::SendStep(const char* data, std::size_t size, std::size_t& sent) {
    sent = Socket().Send(data, size);
    return sent > 0 ? TIoStatus::Done : TIoStatus::WantWrite;
}

bool TMailIOHandler::WaitFor(TIoStatus status, std::chrono::milliseconds limit) {
    return Socket().Wait(status == TIoStatus::WantWrite ? TSocketWait::Write : TSocketWait::Read, limit);
}

std::size_t TMailIOHandler::ReadSome(char* buffer, std::size_t size) {
    for (;;) {
        std::size_t received = 0;
        const TIoStatus status = ReceiveStep(buffer, size, received);
        if (status == TIoStatus::Done) return received;
        if (status == TIoStatus::Closed) return 0;
        if (!WaitFor(status, ReadLimit())) throw EDiraError(TErrorKind::ekTimeout, kReadTimedOut);
    }
}

TReceiveResult TMailIOHandler::ReadNow(char* buffer, std::size_t size, std::size_t& received) {
    // A TLS step may need to send (a key update) before it can read; give
    // it a few turns without waiting.
    for (int turn = 0; turn < 4; ++turn) {
        const TIoStatus status = ReceiveStep(buffer, size, received);
        if (status == TIoStatus::Done) return TReceiveResult::Data;
        if (status == TIoStatus::Closed) return TReceiveResult::Closed;
        if (status == TIoStatus::WantRead) break;
    }
    return TReceiveResult::WouldBlock;
}

bool TMailIOHandler::WaitReadable(std::chrono::milliseconds limit) {
    return Socket().Wait(TSocketWait::Read, limit);
}

void TMailIOHandler::WriteAll(std::string_view bytes) {
    while (!bytes.empty()) {
        std::size_t sent = 0;
        const TIoStatus status = SendStep(bytes.data(), bytes.size(), sent);
        if (status == TIoStatus::Done) {
            bytes.remove_prefix(sent);
            continue;
        }
        if (status == TIoStatus::Closed) throw EDiraError(TErrorKind::ekPeerClosed, kClosedGracefully);
        // A peer that takes nothing for the whole limit is as dead as one
        // that sends nothing.
        if (!WaitFor(status, ReadLimit())) throw EDiraError(TErrorKind::ekTimeout, kWriteTimedOut);
    }
}

}  // namespace kdv
