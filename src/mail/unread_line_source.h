#pragma once
// A line source that can take back the line it gave last, for readers that
// must see one line ahead before they know who reads it.
#include "mail/mail_line_source.h"

#include <string>
#include <string_view>

namespace kdv {

class TUnreadLineSource final : public TMailLineSource {
public:
    explicit TUnreadLineSource(TMailLineSource& source) : source_(source) {}

    // A line given back is returned by the next ReadLnRFC as it was, whatever
    // terminator that call asks for.
    bool ReadLnRFC(std::string_view& line, TLineTerminator terminator) override {
        if (unread_) {
            unread_ = false;
            current_.swap(unread_line_);
            current_break_.swap(unread_break_);
            line = current_;
            return true;
        }
        const bool got = source_.ReadLnRFC(line, terminator);
        current_break_.assign(source_.LineBreak());
        return got;
    }
    std::string_view LineBreak() const override { return current_break_; }
    const TTextEncoding& DefStringEncoding() const override { return source_.DefStringEncoding(); }

    // Gives `line` (ended by `line_break`) back; it is copied, so it may be the
    // view the last read returned.
    void Unread(std::string_view line, std::string_view line_break) {
        unread_line_.assign(line);
        unread_break_.assign(line_break);
        unread_ = true;
    }

private:
    TMailLineSource& source_;
    bool unread_ = false;
    std::string unread_line_;
    std::string unread_break_;
    std::string current_;
    std::string current_break_;
};

}  // namespace kdv
