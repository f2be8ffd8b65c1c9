#include "db/sql_preprocessor.h"

#include "db/db_error.h"
#include "platform/unicode_chars.h"
#include "platform/unicode_letter.h"
#include "platform/utf8_text.h"

namespace kdv {
namespace {

constexpr char32_t kInvalid = 0xFFFD;

// Decodes the code point at `pos`; `length` receives its byte count. A broken
// sequence counts as one byte that is no letter.
char32_t DecodeAt(std::string_view text, std::size_t pos, std::size_t& length) {
    const TUtf8Char c = DecodeUtf8Char(text.substr(pos));
    length = c.Valid ? c.Length : 1;
    return c.Valid ? c.Code : kInvalid;
}

bool IsNameChar(char32_t cp) {
    return (cp >= '0' && cp <= '9') || cp == '_' || cp == '#' || cp == '$' || (cp != kInvalid && IsUnicodeLetter(cp));
}

// Length in bytes of the name that starts at `pos` (0 when none starts there).
std::size_t NameLength(std::string_view text, std::size_t pos) {
    std::size_t end = pos;
    std::size_t chars = 0;
    while (end < text.size()) {
        std::size_t len;
        if (!IsNameChar(DecodeAt(text, end, len))) break;
        if (++chars > kMaxIdentifierChars) {
            throw EDbError::Layer(db_code::kIdentifierTooLong, "Bezeichner zu lang (> 255)");
        }
        end += len;
    }
    return end - pos;
}

bool NameCharBefore(std::string_view text, std::size_t pos) {
    if (pos == 0) return false;
    std::size_t start = pos - 1;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80 && pos - start < 4) --start;
    std::size_t len;
    const char32_t cp = DecodeAt(text, start, len);
    return start + len == pos && IsNameChar(cp);
}

bool EndsMacroMarker(char c) {
    switch (c) {
        case '\t': case '\r': case '\n': case ' ': case '&': case '\'': case '<': case '=': case '>':
            return true;
        default:
            return false;
    }
}

bool EndsParamMarker(char c) {
    return c == '\t' || c == '\r' || c == '\n' || c == ' ' || c == '=';
}

class TScanner {
public:
    TScanner(std::string_view text, const TSqlMacroValues* values) : text_(text), values_(values) {
        out_.Text.reserve(text.size() + 8);
    }

    TPreprocessedSql Run() {
        while (pos_ < text_.size()) {
            switch (state_) {
                case TScanState::Normal: Normal(); break;
                case TScanState::Single: Quoted('\''); break;
                case TScanState::Double: Quoted('"'); break;
                case TScanState::Back: Quoted('`'); break;
                case TScanState::Block: Comment(); break;
                case TScanState::Line: Comment(); break;
            }
        }
        return std::move(out_);
    }

private:
    enum class TScanState { Normal, Single, Double, Back, Block, Line };

    char At(std::size_t pos) const { return pos < text_.size() ? text_[pos] : '\0'; }
    bool AtEnd(std::size_t pos) const { return pos >= text_.size(); }
    void Copy(std::size_t count) {
        out_.Text.append(text_.substr(pos_, count));
        pos_ += count;
    }

    void LineEnd() {
        out_.Text += '\n';
        pos_ += (text_[pos_] == '\r' && At(pos_ + 1) == '\n') ? 2 : 1;
    }

    void Normal() {
        const char c = text_[pos_];
        if (conditional_ && c == '*' && At(pos_ + 1) == '/') {
            conditional_ = false;
            Copy(2);
            return;
        }
        switch (c) {
            case '\'': state_ = TScanState::Single; Copy(1); return;
            case '"': state_ = TScanState::Double; Copy(1); return;
            case '`': state_ = TScanState::Back; Copy(1); return;
            case '/':
                if (At(pos_ + 1) == '*') {
                    if (At(pos_ + 2) == '!') {
                        conditional_ = true;
                        Copy(3);
                    } else {
                        state_ = TScanState::Block;
                        Copy(2);
                    }
                    return;
                }
                break;
            case '-':
                if (At(pos_ + 1) == '-') {
                    state_ = TScanState::Line;
                    Copy(2);
                    return;
                }
                break;
            case ':': Param(); return;
            case '!': case '&': Macro(); return;
            case '\r': case '\n': LineEnd(); return;
            default: break;
        }
        Copy(1);
    }

    void Quoted(char quote) {
        const char c = text_[pos_];
        if (c == '\\') {
            Copy(AtEnd(pos_ + 1) ? 1 : 2);
        } else if (c == quote) {
            // A doubled quote closes and at once reopens: same state, same bytes.
            state_ = TScanState::Normal;
            Copy(1);
        } else if (c == '!' || c == '&') {
            Macro();
        } else {
            Copy(1);
        }
    }

    void Comment() {
        const char c = text_[pos_];
        if (state_ == TScanState::Block && c == '*' && At(pos_ + 1) == '/') {
            state_ = TScanState::Normal;
            Copy(2);
        } else if (c == '\r' || c == '\n') {
            if (state_ == TScanState::Line) state_ = TScanState::Normal;
            LineEnd();
        } else if (c == '!' || c == '&') {
            Macro();
        } else {
            Copy(1);
        }
    }

    void Param() {
        const std::size_t next = pos_ + 1;
        if (At(next) == ':') {
            out_.Text += ':';
            pos_ += 2;
            return;
        }
        if (AtEnd(next) || EndsParamMarker(text_[next]) || NameCharBefore(text_, pos_)) {
            Copy(1);
            return;
        }
        const std::size_t len = NameLength(text_, next);
        if (len == 0) {
            Copy(1);
            return;
        }
        const std::string name(text_.substr(next, len));
        const std::string folded = FoldIdentifier(name);
        std::size_t index = 0;
        while (index < param_folded_.size() && param_folded_[index] != folded) ++index;
        if (index == param_folded_.size()) {
            param_folded_.push_back(folded);
            out_.ParamNames.push_back(name);
        }
        out_.MarkerOffsets.push_back(out_.Text.size());
        out_.MarkerParams.push_back(index);
        out_.Text += '?';
        pos_ = next + len;
    }

    void Macro() {
        const char marker = text_[pos_];
        const std::size_t next = pos_ + 1;
        if (AtEnd(next) || EndsMacroMarker(text_[next])) {
            Copy(1);
            return;
        }
        if (marker == '!' && text_[next] == '!') {
            out_.Text += '!';
            pos_ += 2;
            return;
        }
        const std::size_t len = NameLength(text_, next);
        if (len == 0) {
            Copy(1);
            return;
        }
        const std::string name(text_.substr(next, len));
        const std::string folded = FoldIdentifier(name);
        bool known = false;
        for (const auto& m : macro_folded_) known = known || m == folded;
        if (!known) {
            macro_folded_.push_back(folded);
            out_.MacroNames.push_back(name);
        }
        if (values_ != nullptr) {
            const auto it = values_->find(folded);
            if (it != values_->end()) out_.Text += it->second;
        }
        pos_ = next + len;
    }

    std::string_view text_;
    const TSqlMacroValues* values_;
    TPreprocessedSql out_;
    std::vector<std::string> param_folded_;
    std::vector<std::string> macro_folded_;
    std::size_t pos_ = 0;
    TScanState state_ = TScanState::Normal;
    bool conditional_ = false;
};

}  // namespace

TPreprocessedSql PreprocessSql(std::string_view text, const TSqlMacroValues* macro_values) {
    return TScanner(text, macro_values).Run();
}

std::string FoldIdentifier(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    std::size_t pos = 0;
    while (pos < name.size()) {
        std::size_t len;
        const char32_t cp = DecodeAt(name, pos, len);
        if (cp == kInvalid) {
            out.append(name.substr(pos, len));
        } else {
            AppendUtf8(out, UnicodeToLower(cp));
        }
        pos += len;
    }
    return out;
}

}  // namespace kdv
