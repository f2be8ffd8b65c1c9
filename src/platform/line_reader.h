#pragma once
// Lines of a mail, as every road gives them: a mail held in memory, a file,
// and a live dot-terminated transfer (the answer to POP3 "RETR") all go
// through this one reader, so one mail is split into the same lines whichever
// way it came.
#include <cstddef>
#include <memory>
#include <string_view>

namespace kdv {

enum class TLineTerminator {
    LF,    // a line ends at LF; a CR right before it is dropped too
    CRLF,  // a line ends only at CR LF; a bare LF or CR is part of the line
};

// Where lines end in a mail's own text. CR LF is one break. A CR alone ends
// a line in either terminator mode: mail saved by old programs breaks its
// lines so, and a server that stores such an upload puts its own header lines
// with CR LF on top of it, so one mail may hold both. An LF alone ends a line
// in LF mode; in CR LF mode only in a mail whose first line break is a bare
// one (a mail saved with LF or CR breaks).
struct TLineBreakAt {
    std::size_t At;      // where the break begins; with Length 0, where a later search resumes
    std::size_t Length;  // 1 or 2; 0 when `data` holds no break (yet)
};

// The first line break in `data` at or after `from`. `complete` tells that no
// byte follows `data`: a CR at its very end is then a break, otherwise the
// next byte decides.
TLineBreakAt FindLineBreak(std::string_view data, std::size_t from, TLineTerminator terminator,
                           bool bare_lf_breaks, bool complete);

// Whether the mail whose text begins with `head` breaks its lines with a bare
// LF or CR. Returns false with `decided` false when `head` does not tell yet
// (no break in it, or a CR at its end while more may follow); with
// `complete`, a text without a break counts as CR LF.
bool FirstBreakIsBare(std::string_view head, bool complete, bool& decided);

// Where the reader pulls its bytes from, a block at a time.
class ILineInput {
public:
    virtual ~ILineInput() = default;
    // Reads up to `size` (at least 1) bytes into `buffer` and returns how
    // many; 0 means that no byte follows. A connection raises its own
    // failure (time-out, lost connection) as EDiraError instead of returning 0.
    virtual std::size_t Read(char* buffer, std::size_t size) = 0;
};

// The text of a mail out of its dot-terminated transfer: a doubled dot at
// the start of a line loses one, and the line "." ends the text and is not
// part of it. Lines of the transfer end at LF (a CR before it belongs to the
// break), as the raw retrieval has always cut them. The input is asked for
// no byte past the LF of the "." line, so what follows it stays with a
// connection that hands out bytes no further than through the next LF.
class TDotUnstuffedInput final : public ILineInput {
public:
    static constexpr std::size_t kReadBlock = 32 * 1024;

    explicit TDotUnstuffedInput(ILineInput& input) : input_(input) {}

    // Returns 0 after the "." line. An input that ends before it raises
    // "Die Verbindung endete vor dem Ende der Nachricht." (kind
    // ekPeerClosed): what came so far is not the whole mail.
    std::size_t Read(char* buffer, std::size_t size) override;

private:
    enum class TAt {
        LineStart,  // nothing of this line read yet
        Dot,        // a single dot read at the line's start
        DotCr,      // a dot and a CR read at the line's start
        InLine,
        End,
    };

    ILineInput& input_;
    std::unique_ptr<char[]> block_;
    std::size_t have_ = 0;
    std::size_t pos_ = 0;
    TAt at_ = TAt::LineStart;
    // Bytes decided to be data but not handed out yet (".", ".\r").
    char pending_[2] = {};
    std::size_t pending_size_ = 0;
};

struct TLineReaderOptions {
    // A live transfer: dot-stuffed lines ended by the line "." (see
    // TDotUnstuffedInput). Needs an input, not a text in memory.
    bool DotStuffed = false;
    // Lines end as FindLineBreak says (a mail's text). Without, only at LF or
    // CR LF as the terminator says, a bare CR staying inside its line: the
    // lines of a transfer as the wire carries them.
    bool BareBreaks = true;
    // Longest line, its break excluded; 0 for no limit. A longer one raises
    // "Max. Zeilenlänge überschritten." (kind ekLineTooLong).
    std::size_t MaxLineLength = 0;
};

class TLineReader {
public:
    // Far above any line a mailer writes; only keeps a source that never
    // sends a line break from filling the memory.
    static constexpr std::size_t kMaxLineLength = 32u * 1024 * 1024;
    // Bytes asked from the input at once.
    static constexpr std::size_t kReadBlock = 64 * 1024;

    // Pulls the bytes from `input`, which must outlive the reader.
    TLineReader(ILineInput& input, const TLineReaderOptions& options);
    // Reads `whole` in place, never copied; it must outlive the reader.
    TLineReader(std::string_view whole, const TLineReaderOptions& options);
    ~TLineReader();
    TLineReader(const TLineReader&) = delete;
    TLineReader& operator=(const TLineReader&) = delete;

    // The next line without its break; false at the end, and for every call
    // after it. The view is valid until the next call. The end of the data
    // ends the last line, whatever break it had or lacked.
    bool ReadLine(std::string_view& line, TLineTerminator terminator);
    // The break that ended the line last read ("\r\n", "\n" or "\r"), empty
    // when the data ended without one.
    std::string_view LineBreak() const { return break_; }

private:
    std::string_view Held() const { return {data_, size_}; }
    void Fill();
    TLineBreakAt FindBreak(std::size_t from, TLineTerminator terminator) const;
    void CheckPending() const;
    void CheckLength(std::size_t length) const;

    std::unique_ptr<TDotUnstuffedInput> unstuffed_;
    ILineInput* input_ = nullptr;  // nullptr when the whole text is in memory
    TLineReaderOptions options_;
    // The bytes held: `whole` itself, or buffer_ as filled from the input.
    const char* data_ = nullptr;
    std::size_t size_ = 0;
    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_ = 0;
    std::size_t start_ = 0;  // first held byte not given yet
    bool input_ended_ = false;
    bool form_known_ = false;
    std::size_t form_searched_ = 0;  // bytes after start_ known to hold no break
    bool bare_lf_breaks_ = false;
    bool ended_ = false;
    std::string_view break_;
};

}  // namespace kdv
