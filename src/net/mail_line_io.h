#pragma once
// Buffered line and byte input and line output over a transport, as the
// protocol clients use it. Protocol replies are read as text (bytes above 127
// become "?") and limited to kMaxLineLength bytes; mail data is read as raw
// bytes with a limit of its own.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "net/mail_io_handler.h"

namespace kdv {

inline constexpr const char* kLineTooLong = "Max. Zeilenlänge überschritten.";
inline constexpr const char* kTooManyEmptyLines = "Max. Zeilenleseversuche überschritten.";

enum class TLineEnd {
    LF,    // a line ends at LF; a CR right before it is dropped too
    CRLF,  // a line ends only at CR LF; a bare LF or CR is part of the line
};

class TMailLineIO {
public:
    // Longest protocol reply line, terminator excluded.
    static constexpr std::size_t kMaxLineLength = 16384;
    // Bytes asked from the transport at once.
    static constexpr std::size_t kReadBlock = 32768;
    // Empty lines ReadLnWait passes over before it gives up.
    static constexpr int kMaxEmptyLines = 1000;

    explicit TMailLineIO(TMailIOHandler& transport);

    TMailIOHandler& Transport() { return transport_; }

    // One protocol line (terminator LF, a CR before it removed), bytes above
    // 127 read as "?", due within the read time-out as a whole (a nearer
    // deadline of the transport stays). Raises "Max. Zeilenlänge überschritten." beyond
    // kMaxLineLength, "Zeitüberschreitung beim Lesen." after the read
    // time-out and "Die Verbindung wurde erfolgreich geschlossen." when the
    // peer closes before the line is complete.
    std::string ReadLn();
    // The next line that is not empty after trimming blanks.
    std::string ReadLnWait(int max_empty_lines = kMaxEmptyLines);

    // One line as raw bytes, `max_length` 0 meaning no limit; the view is
    // valid until the next read. Failures as ReadLn.
    std::string_view ReadRawLn(TLineEnd end, std::size_t max_length);
    // Moves up to `size` raw bytes into `buffer`, no further than through
    // the next LF, and returns how many (at least one); receives first when
    // nothing is buffered. A reader of a transfer so never takes in what
    // follows the transfer's last line. Failures as ReadLn.
    std::size_t ReadRawThroughLF(char* buffer, std::size_t size);

    // Appends exactly `count` raw bytes to `out`.
    void ReadBytes(std::size_t count, std::string& out);
    // Reads and drops exactly `count` raw bytes.
    void SkipBytes(std::uint64_t count);

    // Writes `text` + CR LF; the bytes go out unchanged (UTF-8 stays UTF-8).
    void WriteLn(std::string_view text);
    // Writes raw bytes unchanged.
    void Write(std::string_view bytes);

    // Waits up to `limit` for bytes and reports whether any arrived (they
    // stay buffered).
    bool CheckForDataOnSource(std::chrono::milliseconds limit);
    // Drops every buffered byte.
    void DiscardInput();
    // Reads what has arrived, without waiting, and drops every complete
    // line of it; a line still arriving stays for the next read.
    void DiscardArrivedLines();
    bool InputBufferEmpty() const { return start_ >= buffer_.size(); }

    // False once the peer has closed (or reset) the connection and no
    // received byte remains buffered; reads without waiting to find out.
    bool Connected();

private:
    // Receives one more block; false when the peer has closed.
    bool Fill();
    void Compact();
    [[noreturn]] void RaiseClosed() const;

    TMailIOHandler& transport_;
    std::string buffer_;
    std::size_t start_ = 0;  // first unread byte of buffer_
    bool peer_closed_ = false;
    std::string line_;
};

}  // namespace kdv
