#include "net/mail_line_io.h"

#include <algorithm>
#include <cstring>

namespace kdv {

TMailLineIO::TMailLineIO(TMailIOHandler& transport) : transport_(transport) {}

void TMailLineIO::Compact() {
    // Drop consumed bytes once they are the larger part, so the buffer
    // stays about one block long however much passes through it.
    if (start_ > 0 && start_ * 2 >= buffer_.size()) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
}

bool TMailLineIO::Fill() {
    if (peer_closed_) return false;
    Compact();
    const std::size_t old_size = buffer_.size();
    buffer_.resize(old_size + kReadBlock);
    std::size_t got = 0;
    try {
        got = transport_.ReadSome(buffer_.data() + old_size, kReadBlock);
    } catch (...) {
        buffer_.resize(old_size);
        throw;
    }
    buffer_.resize(old_size + got);
    if (got == 0) peer_closed_ = true;
    return got > 0;
}

void TMailLineIO::RaiseClosed() const {
    throw EDiraError(TErrorKind::ekPeerClosed, kClosedGracefully);
}

std::string_view TMailLineIO::ReadRawLn(TLineEnd end, std::size_t max_length) {
    std::size_t searched = start_;
    for (;;) {
        const char* base = buffer_.data();
        const std::size_t size = buffer_.size();
        while (searched < size) {
            const auto* lf = static_cast<const char*>(std::memchr(base + searched, '\n', size - searched));
            if (lf == nullptr) break;
            const std::size_t at = static_cast<std::size_t>(lf - base);
            const bool cr_before = at > start_ && base[at - 1] == '\r';
            if (end == TLineEnd::CRLF && !cr_before) {
                searched = at + 1;
                continue;
            }
            const std::size_t length = at - start_ - (cr_before ? 1 : 0);
            if (max_length != 0 && length > max_length) {
                throw EDiraError(TErrorKind::ekLineTooLong, kLineTooLong);
            }
            line_.assign(base + start_, length);
            start_ = at + 1;
            return line_;
        }
        searched = size;
        // No terminator yet: the bytes held are all part of this line; more
        // than the limit plus a possible CR can never end in time.
        const std::size_t pending = size - start_;
        if (max_length != 0 &&
            (pending > max_length + 1 || (pending == max_length + 1 && base[size - 1] != '\r'))) {
            throw EDiraError(TErrorKind::ekLineTooLong, kLineTooLong);
        }
        const std::size_t consumed_before = start_;
        if (!Fill()) RaiseClosed();
        // Fill may have moved the unread bytes to the front.
        searched -= consumed_before - start_;
    }
}

std::size_t TMailLineIO::ReadRawThroughLF(char* buffer, std::size_t size) {
    while (start_ >= buffer_.size()) {
        if (!Fill()) RaiseClosed();
    }
    const char* from = buffer_.data() + start_;
    std::size_t take = std::min(size, buffer_.size() - start_);
    if (const auto* lf = static_cast<const char*>(std::memchr(from, '\n', take))) {
        take = static_cast<std::size_t>(lf - from) + 1;
    }
    std::memcpy(buffer, from, take);
    start_ += take;
    return take;
}

std::string TMailLineIO::ReadLn() {
    TDeadlineScope whole_line(transport_, transport_.ReadLimit());
    std::string text(ReadRawLn(TLineEnd::LF, kMaxLineLength));
    for (char& c : text) {
        if (static_cast<unsigned char>(c) > 127) c = '?';
    }
    return text;
}

std::string TMailLineIO::ReadLnWait(int max_empty_lines) {
    // Empty lines before the reply count against the reply's time.
    TDeadlineScope whole_reply(transport_, transport_.ReadLimit());
    for (int attempt = 0; max_empty_lines <= 0 || attempt <= max_empty_lines; ++attempt) {
        std::string line = ReadLn();
        if (line.find_first_not_of(' ') != std::string::npos) return line;
    }
    throw EDiraError(TErrorKind::ekReply, kTooManyEmptyLines);
}

void TMailLineIO::ReadBytes(std::size_t count, std::string& out) {
    out.reserve(out.size() + count);
    for (;;) {
        const std::size_t held = buffer_.size() - start_;
        const std::size_t take = held < count ? held : count;
        out.append(buffer_, start_, take);
        start_ += take;
        count -= take;
        if (count == 0) return;
        if (!Fill()) RaiseClosed();
    }
}

void TMailLineIO::SkipBytes(std::uint64_t count) {
    for (;;) {
        const std::size_t held = buffer_.size() - start_;
        const std::size_t take = held < count ? held : static_cast<std::size_t>(count);
        start_ += take;
        count -= take;
        if (count == 0) return;
        if (!Fill()) RaiseClosed();
    }
}

void TMailLineIO::WriteLn(std::string_view text) {
    std::string line;
    line.reserve(text.size() + 2);
    line.append(text);
    line.append("\r\n");
    transport_.WriteAll(line);
}

void TMailLineIO::Write(std::string_view bytes) {
    transport_.WriteAll(bytes);
}

bool TMailLineIO::CheckForDataOnSource(std::chrono::milliseconds limit) {
    if (!InputBufferEmpty()) return true;
    if (peer_closed_ || !transport_.IsOpen()) return false;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        Compact();
        const std::size_t old_size = buffer_.size();
        buffer_.resize(old_size + kReadBlock);
        std::size_t got = 0;
        TReceiveResult result;
        try {
            result = transport_.ReadNow(buffer_.data() + old_size, kReadBlock, got);
        } catch (...) {
            buffer_.resize(old_size);
            throw;
        }
        buffer_.resize(old_size + got);
        if (result == TReceiveResult::Data) return true;
        if (result == TReceiveResult::Closed) {
            peer_closed_ = true;
            return false;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !transport_.WaitReadable(left)) return false;
    }
}

void TMailLineIO::DiscardInput() {
    buffer_.clear();
    start_ = 0;
}

void TMailLineIO::DiscardArrivedLines() {
    while (CheckForDataOnSource(std::chrono::milliseconds(0))) {
        const std::size_t last_lf = buffer_.rfind('\n');
        if (last_lf == std::string::npos || last_lf < start_) return;
        start_ = last_lf + 1;
        Compact();
    }
}

bool TMailLineIO::Connected() {
    if (!transport_.IsOpen()) return false;
    if (!peer_closed_) {
        try {
            CheckForDataOnSource(std::chrono::milliseconds(0));
        } catch (const EDiraError& error) {
            if (error.ErrorKind() != TErrorKind::ekPeerClosed) throw;
            peer_closed_ = true;
        }
    }
    return !peer_closed_ || !InputBufferEmpty();
}

}  // namespace kdv
