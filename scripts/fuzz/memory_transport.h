#pragma once
// A transport that plays a server from bytes in memory: every read gets the
// next piece of the input (piece sizes taken from the input too, so the
// clients' buffering is exercised), every write is swallowed, and the end of
// the input is the server closing the connection.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <string_view>

#include "net/mail_io_handler.h"

class TMemoryTransport final : public kdv::TMailIOHandler {
public:
    TMemoryTransport(std::string_view data, std::size_t piece) : data_(data), piece_(piece == 0 ? 1 : piece) {}

    void Open() override {}
    void Close() override {}

protected:
    TIoStatus ReceiveStep(char* buffer, std::size_t size, std::size_t& received) override {
        if (at_ >= data_.size()) return TIoStatus::Closed;
        received = std::min({size, piece_, data_.size() - at_});
        std::memcpy(buffer, data_.data() + at_, received);
        at_ += received;
        return TIoStatus::Done;
    }
    TIoStatus SendStep(const char*, std::size_t size, std::size_t& sent) override {
        sent = size;
        return TIoStatus::Done;
    }

private:
    std::string_view data_;
    std::size_t piece_;
    std::size_t at_ = 0;
};
