#pragma once
// Streaming BinHex 4.0 decoding: six-bit text, run-length expansion, and the
// file header that tells how long the data fork is. Only the data fork is
// written to the sink; the resource fork has no meaning outside a Macintosh.
#include "mail/byte_sink.h"
#include "mail/mail_limits.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kdv {

class TBinHexDecoder {
public:
    // A data fork larger than `max_bytes` fails with EDiraError "Die
    // BinHex-Anlage ist entpackt größer als N MB.": run-length coding lets a
    // few characters stand for any number of bytes.
    explicit TBinHexDecoder(TByteSink& sink, std::size_t max_bytes = kMaxBinHexBytes)
        : sink_(sink), max_bytes_(max_bytes) {}

    // Consumes any chunk of the encoded text (comment line, ":" start, data,
    // ":" end); text after the end marker is ignored.
    void Step(std::string_view chunk);
    // Writes what is still buffered. Truncated input gives a truncated fork,
    // never a failure.
    void Finish();

    // The file name stored in the BinHex header (empty before it was read).
    const std::string& StoredName() const { return name_; }

    static std::string Decode(std::string_view text);

private:
    enum class TState { SeekStart, Data, Done };
    enum class TFork { Header, DataFork, Rest };

    void PutSixBits(unsigned value);
    void PutRleByte(unsigned char byte);
    void PutByte(unsigned char byte);
    void Flush();

    TByteSink& sink_;
    std::size_t max_bytes_;
    std::size_t written_ = 0;
    TState state_ = TState::SeekStart;
    bool at_line_start_ = true;
    unsigned bits_ = 0;
    int bit_count_ = 0;
    bool marker_ = false;
    unsigned char previous_ = 0;
    TFork fork_ = TFork::Header;
    std::string header_;
    std::string name_;
    std::uint32_t data_left_ = 0;
    std::string out_;
};

}  // namespace kdv
