#pragma once
// A server in memory: its bytes arrive in pieces of a fixed size, so a
// client's buffering meets every block edge; whatever the client sends is
// swallowed, and the end of the bytes is the server closing.
#include <algorithm>
#include <cstddef>
#include <string>

#include "net/mail_io_handler.h"

namespace kdv::testing {

class TPieceTransport final : public TMailIOHandler {
public:
    TPieceTransport(std::string data, std::size_t piece) : data_(std::move(data)), piece_(piece == 0 ? 1 : piece) {}
    void Open() override {}
    void Close() override {}

protected:
    TIoStatus ReceiveStep(char* buffer, std::size_t size, std::size_t& received) override {
        if (at_ >= data_.size()) return TIoStatus::Closed;
        received = std::min({size, piece_, data_.size() - at_});
        data_.copy(buffer, received, at_);
        at_ += received;
        return TIoStatus::Done;
    }
    TIoStatus SendStep(const char*, std::size_t size, std::size_t& sent) override {
        sent = size;
        return TIoStatus::Done;
    }

private:
    std::string data_;
    std::size_t piece_;
    std::size_t at_ = 0;
};

}  // namespace kdv::testing
