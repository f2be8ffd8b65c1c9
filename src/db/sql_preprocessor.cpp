#include "db/sql_preprocessor.h"

#include "db/db_error.h"
#include "platform/unicode_chars.h"
#include "platform/unicode_letter.h"
#include "platform/utf8_text.h"

namespace kdv {
namespace {

constexpr char32_t kInvalid = 0xFFFD;

// Decodes the code point at Pos; Length receives its byte count. A broken
// sequence counts as one byte that is no letter.
char32_t DecodeAt(std::string_view Text, std::size_t Pos, std::size_t& Length) {
    const TUtf8Char c = DecodeUtf8Char(Text.substr(Pos));
    Length = c.Valid ? c.Length : 1;
    return c.Valid ? c.Code : kInvalid;
}

bool IsNameChar(char32_t Cp) {
    return (Cp >= '0' && Cp <= '9') || Cp == '_' || Cp == '#' || Cp == '$' || (Cp != kInvalid && IsUnicodeLetter(Cp));
}

// Length in bytes of the name that starts at Pos (0 when none starts there).
std::size_t NameLength(std::string_view Text, std::size_t Pos) {
    std::size_t end = Pos;
    std::size_t chars = 0;
    while (end < Text.size()) {
        std::size_t len;
        if (!IsNameChar(DecodeAt(Text, end, len))) break;
        if (++chars > kMaxIdentifierChars) {
            throw EDbError::Layer(db_code::kIdentifierTooLong, "Bezeichner zu lang (> 255)");
        }
        end += len;
    }
    return end - Pos;
}

bool NameCharBefore(std::string_view Text, std::size_t Pos) {
    if (Pos == 0) return false;
    std::size_t start = Pos - 1;
    while (start > 0 && (static_cast<unsigned char>(Text[start]) & 0xC0) == 0x80 && Pos - start < 4) --start;
    std::size_t len;
    const char32_t cp = DecodeAt(Text, start, len);
    return start + len == Pos && IsNameChar(cp);
}

bool EndsMacroMarker(char C) {
    switch (C) {
        case '\t': case '\r': case '\n': case ' ': case '&': case '\'': case '<': case '=': case '>':
            return true;
        default:
            return false;
    }
}

bool EndsParamMarker(char C) {
    return C == '\t' || C == '\r' || C == '\n' || C == ' ' || C == '=';
}

class TScanner {
public:
    TScanner(std::string_view Text, const TSqlMacroValues* Values) : text_(Text), values_(Values) {
        out_.Text.reserve(Text.size() + 8);
    }

    TPreprocessedSql Run() {
        while (pos_ < text_.size()) {
            switch (state_) {
                case EState::Normal: Normal(); break;
                case EState::Single: Quoted('\''); break;
                case EState::Double: Quoted('"'); break;
                case EState::Back: Quoted('`'); break;
                case EState::Block: Comment(); break;
                case EState::Line: Comment(); break;
            }
        }
        return std::move(out_);
    }

private:
    enum class EState { Normal, Single, Double, Back, Block, Line };

    char At(std::size_t Pos) const { return Pos < text_.size() ? text_[Pos] : '\0'; }
    bool AtEnd(std::size_t Pos) const { return Pos >= text_.size(); }
    void Copy(std::size_t Count) {
        out_.Text.append(text_.substr(pos_, Count));
        pos_ += Count;
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
            case '\'': state_ = EState::Single; Copy(1); return;
            case '"': state_ = EState::Double; Copy(1); return;
            case '`': state_ = EState::Back; Copy(1); return;
            case '/':
                if (At(pos_ + 1) == '*') {
                    if (At(pos_ + 2) == '!') {
                        conditional_ = true;
                        Copy(3);
                    } else {
                        state_ = EState::Block;
                        Copy(2);
                    }
                    return;
                }
                break;
            case '-':
                if (At(pos_ + 1) == '-') {
                    state_ = EState::Line;
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

    void Quoted(char Quote) {
        const char c = text_[pos_];
        if (c == '\\') {
            Copy(AtEnd(pos_ + 1) ? 1 : 2);
        } else if (c == Quote) {
            // A doubled quote closes and at once reopens: same state, same bytes.
            state_ = EState::Normal;
            Copy(1);
        } else if (c == '!' || c == '&') {
            Macro();
        } else {
            Copy(1);
        }
    }

    void Comment() {
        const char c = text_[pos_];
        if (state_ == EState::Block && c == '*' && At(pos_ + 1) == '/') {
            state_ = EState::Normal;
            Copy(2);
        } else if (c == '\r' || c == '\n') {
            if (state_ == EState::Line) state_ = EState::Normal;
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
    EState state_ = EState::Normal;
    bool conditional_ = false;
};

}  // namespace

TPreprocessedSql PreprocessSql(std::string_view Text, const TSqlMacroValues* MacroValues) {
    return TScanner(Text, MacroValues).Run();
}

std::string FoldIdentifier(std::string_view Name) {
    std::string out;
    out.reserve(Name.size());
    std::size_t pos = 0;
    while (pos < Name.size()) {
        std::size_t len;
        const char32_t cp = DecodeAt(Name, pos, len);
        if (cp == kInvalid) {
            out.append(Name.substr(pos, len));
        } else {
            AppendUtf8(out, UnicodeToLower(cp));
        }
        pos += len;
    }
    return out;
}

}  // namespace kdv
