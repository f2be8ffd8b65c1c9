#pragma once
// The line source over a complete mail held in memory (the IMAP road: the
// fetched literal; a mail file given to the import). The bytes are read in
// place, never copied.
#include "mail/mail_line_source.h"

#include <cstddef>
#include <memory>
#include <string_view>

namespace kdv {

class TMailMemoryLineSource final : public TMailLineSource {
public:
    // `data` must outlive the source. It is the mail text itself, not
    // dot-stuffed; its end is the end of the message. `max_line_length` 0
    // means no limit: the whole text is in memory already.
    explicit TMailMemoryLineSource(std::string_view data, std::size_t max_line_length = 0);
    ~TMailMemoryLineSource() override;

    // Mail saved to disk often breaks its lines with LF alone, some old
    // programs with CR alone; lines end as FindLineBreak says, so every form
    // gives the same parts.
    bool ReadLnRFC(std::string_view& line, TLineTerminator terminator) override {
        return reader_.ReadLine(line, terminator);
    }
    std::string_view LineBreak() const override { return reader_.LineBreak(); }
    const TTextEncoding& DefStringEncoding() const override;

private:
    TLineReader reader_;
    std::shared_ptr<const TTextEncoding> encoding_;
};

}  // namespace kdv
