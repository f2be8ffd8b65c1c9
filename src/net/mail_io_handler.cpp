#include "net/mail_io_handler.h"

#include <algorithm>

namespace kdv {

std::chrono::milliseconds TransferTimeLimit(std::chrono::milliseconds time_limit, std::uint64_t bytes) {
    const std::uint64_t ms = bytes / kMinTransferBytesPerSecond * 1000 + bytes % kMinTransferBytesPerSecond * 1000 / kMinTransferBytesPerSecond;
    return time_limit + std::chrono::milliseconds(static_cast<std::chrono::milliseconds::rep>(ms));
}

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
    if (!socket_) throw EDiraError(TErrorKind::ekUsage, kNotConnected);
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

void TMailIOHandler::CheckDeadline() const {
    if (StopRequested && StopRequested()) throw EDiraError(TErrorKind::ekCancelled, kStopRequested);
    if (deadline_ && std::chrono::steady_clock::now() >= *deadline_) {
        throw EDiraError(TErrorKind::ekTimeout, kDeadlinePassed);
    }
}

bool TMailIOHandler::WaitFor(TIoStatus status, std::chrono::milliseconds limit) {
    const TSocketWait what = status == TIoStatus::WantWrite ? TSocketWait::Write : TSocketWait::Read;
    TSteadyTime end = std::chrono::steady_clock::now() + limit;
    bool cut_by_deadline = false;
    if (deadline_ && *deadline_ < end) {
        end = *deadline_;
        // Nothing came since the deadline was set: that is the plain
        // time-out of a silent peer, and says so.
        cut_by_deadline = received_ != received_at_deadline_;
    }
    for (;;) {
        if (StopRequested && StopRequested()) throw EDiraError(TErrorKind::ekCancelled, kStopRequested);
        const TSteadyTime now = std::chrono::steady_clock::now();
        if (now >= end) {
            if (cut_by_deadline) throw EDiraError(TErrorKind::ekTimeout, kDeadlinePassed);
            return false;
        }
        auto slice = std::chrono::ceil<std::chrono::milliseconds>(end - now);
        if (StopRequested) slice = std::min(slice, kStopPollInterval);
        if (Socket().Wait(what, slice)) return true;
    }
}

std::size_t TMailIOHandler::ReadSome(char* buffer, std::size_t size) {
    for (;;) {
        // A peer that sends without pause never makes a read wait, so the
        // deadline is checked before every read, not only while waiting.
        CheckDeadline();
        std::size_t received = 0;
        const TIoStatus status = ReceiveStep(buffer, size, received);
        if (status == TIoStatus::Done) {
            received_ += received;
            return received;
        }
        if (status == TIoStatus::Closed) return 0;
        if (!WaitFor(status, ReadLimit())) throw EDiraError(TErrorKind::ekTimeout, kReadTimedOut);
    }
}

TReceiveResult TMailIOHandler::ReadNow(char* buffer, std::size_t size, std::size_t& received) {
    // A TLS step may need to send (a key update) before it can read; give
    // it a few turns without waiting.
    for (int turn = 0; turn < 4; ++turn) {
        const TIoStatus status = ReceiveStep(buffer, size, received);
        if (status == TIoStatus::Done) {
            received_ += received;
            return TReceiveResult::Data;
        }
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
        CheckDeadline();
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

TDeadlineScope::TDeadlineScope(TMailIOHandler& transport, std::chrono::steady_clock::duration within)
    : transport_(transport), previous_(transport.Deadline()) {
    const TSteadyTime candidate = std::chrono::steady_clock::now() + within;
    if (!previous_ || candidate < *previous_) transport_.SetDeadline(candidate);
}

TDeadlineScope::~TDeadlineScope() { transport_.SetDeadline(previous_); }

TStopScope::TStopScope(TMailIOHandler& transport, const std::function<bool()>& stop_requested)
    : transport_(transport), previous_(transport.StopRequested) {
    transport_.StopRequested = stop_requested;
}

TStopScope::~TStopScope() { transport_.StopRequested = std::move(previous_); }

}  // namespace kdv
