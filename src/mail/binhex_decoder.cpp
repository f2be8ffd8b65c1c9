#include "mail/binhex_decoder.h"

#include "platform/dira_error.h"

#include <array>
#include <string>

namespace kdv {
namespace {

// Decoded bytes are handed to the sink in blocks of this size.
constexpr std::size_t kOutputBlock = 8192;
// After the name, the header holds version, type, creator, flags, the two
// fork lengths and its CRC.
constexpr std::size_t kHeaderTail = 1 + 4 + 4 + 2 + 4 + 4 + 2;
constexpr unsigned char kRunMarker = 0x90;

constexpr std::array<signed char, 256> MakeTable() {
    std::array<signed char, 256> t{};
    for (auto& v : t) v = -1;
    const char* alphabet = "!\"#$%&'()*+,-012345689@ABCDEFGHIJKLMNPQRSTUVXYZ[`abcdefhijklmpqr";
    for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
    return t;
}

constexpr std::array<signed char, 256> kTable = MakeTable();

}  // namespace

void TBinHexDecoder::Step(std::string_view chunk) {
    for (const char ch : chunk) {
        switch (state_) {
        case TState::SeekStart:
            if (ch == ':' && at_line_start_) state_ = TState::Data;
            at_line_start_ = ch == '\n' || ch == '\r';
            break;
        case TState::Data: {
            if (ch == ':') {
                state_ = TState::Done;
                break;
            }
            const signed char v = kTable[static_cast<unsigned char>(ch)];
            if (v >= 0) PutSixBits(static_cast<unsigned>(v));
            break;
        }
        case TState::Done:
            return;
        }
    }
    if (out_.size() >= kOutputBlock) Flush();
}

void TBinHexDecoder::Finish() { Flush(); }

void TBinHexDecoder::PutSixBits(unsigned value) {
    bits_ = (bits_ << 6) | value;
    bit_count_ += 6;
    if (bit_count_ >= 8) {
        bit_count_ -= 8;
        PutRleByte(static_cast<unsigned char>(bits_ >> bit_count_));
        bits_ &= (1u << bit_count_) - 1;
    }
}

void TBinHexDecoder::PutRleByte(unsigned char byte) {
    if (marker_) {
        marker_ = false;
        if (byte == 0) {
            PutByte(kRunMarker);
            previous_ = kRunMarker;
        } else {
            // The count includes the byte already written.
            for (unsigned i = 1; i < byte; ++i) PutByte(previous_);
        }
        return;
    }
    if (byte == kRunMarker) {
        marker_ = true;
        return;
    }
    previous_ = byte;
    PutByte(byte);
}

void TBinHexDecoder::PutByte(unsigned char byte) {
    switch (fork_) {
    case TFork::Header: {
        header_.push_back(static_cast<char>(byte));
        const std::size_t name_len = static_cast<unsigned char>(header_[0]);
        if (header_.size() == 1 + name_len + kHeaderTail) {
            name_ = header_.substr(1, name_len);
            const auto at = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(header_[i])); };
            const std::size_t len_pos = 1 + name_len + 1 + 4 + 4 + 2;
            data_left_ = at(len_pos) << 24 | at(len_pos + 1) << 16 | at(len_pos + 2) << 8 | at(len_pos + 3);
            header_.clear();
            fork_ = data_left_ > 0 ? TFork::DataFork : TFork::Rest;
        }
        break;
    }
    case TFork::DataFork:
        if (++written_ > max_bytes_)
            throw EDiraError(TErrorKind::ekMalformed, "Die BinHex-Anlage ist entpackt größer als " + std::to_string(max_bytes_ / (1024 * 1024)) +
                             " MB.");
        out_.push_back(static_cast<char>(byte));
        if (--data_left_ == 0) fork_ = TFork::Rest;
        if (out_.size() >= kOutputBlock) Flush();
        break;
    case TFork::Rest:
        break;
    }
}

void TBinHexDecoder::Flush() {
    if (out_.empty()) return;
    sink_.Write(out_);
    out_.clear();
}

std::string TBinHexDecoder::Decode(std::string_view text) {
    std::string result;
    TStringSink sink(result);
    TBinHexDecoder decoder(sink);
    decoder.Step(text);
    decoder.Finish();
    return result;
}

}  // namespace kdv
