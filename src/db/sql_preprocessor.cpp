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
    TScanner(std::string_view Text, const TSqlMacroValues* Values) : FText(Text), FValues(Values) {
        FOut.Text.reserve(Text.size() + 8);
    }

    TPreprocessedSql Run() {
        while (FPos < FText.size()) {
            switch (FState) {
                case EState::Normal: Normal(); break;
                case EState::Single: Quoted('\''); break;
                case EState::Double: Quoted('"'); break;
                case EState::Back: Quoted('`'); break;
                case EState::Block: Comment(); break;
                case EState::Line: Comment(); break;
            }
        }
        return std::move(FOut);
    }

private:
    enum class EState { Normal, Single, Double, Back, Block, Line };

    char At(std::size_t Pos) const { return Pos < FText.size() ? FText[Pos] : '\0'; }
    bool AtEnd(std::size_t Pos) const { return Pos >= FText.size(); }
    void Copy(std::size_t Count) {
        FOut.Text.append(FText.substr(FPos, Count));
        FPos += Count;
    }

    void LineEnd() {
        FOut.Text += '\n';
        FPos += (FText[FPos] == '\r' && At(FPos + 1) == '\n') ? 2 : 1;
    }

    void Normal() {
        const char c = FText[FPos];
        if (FConditional && c == '*' && At(FPos + 1) == '/') {
            FConditional = false;
            Copy(2);
            return;
        }
        switch (c) {
            case '\'': FState = EState::Single; Copy(1); return;
            case '"': FState = EState::Double; Copy(1); return;
            case '`': FState = EState::Back; Copy(1); return;
            case '/':
                if (At(FPos + 1) == '*') {
                    if (At(FPos + 2) == '!') {
                        FConditional = true;
                        Copy(3);
                    } else {
                        FState = EState::Block;
                        Copy(2);
                    }
                    return;
                }
                break;
            case '-':
                if (At(FPos + 1) == '-') {
                    FState = EState::Line;
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
        const char c = FText[FPos];
        if (c == '\\') {
            Copy(AtEnd(FPos + 1) ? 1 : 2);
        } else if (c == Quote) {
            // A doubled quote closes and at once reopens: same state, same bytes.
            FState = EState::Normal;
            Copy(1);
        } else if (c == '!' || c == '&') {
            Macro();
        } else {
            Copy(1);
        }
    }

    void Comment() {
        const char c = FText[FPos];
        if (FState == EState::Block && c == '*' && At(FPos + 1) == '/') {
            FState = EState::Normal;
            Copy(2);
        } else if (c == '\r' || c == '\n') {
            if (FState == EState::Line) FState = EState::Normal;
            LineEnd();
        } else if (c == '!' || c == '&') {
            Macro();
        } else {
            Copy(1);
        }
    }

    void Param() {
        const std::size_t next = FPos + 1;
        if (At(next) == ':') {
            FOut.Text += ':';
            FPos += 2;
            return;
        }
        if (AtEnd(next) || EndsParamMarker(FText[next]) || NameCharBefore(FText, FPos)) {
            Copy(1);
            return;
        }
        const std::size_t len = NameLength(FText, next);
        if (len == 0) {
            Copy(1);
            return;
        }
        const std::string name(FText.substr(next, len));
        const std::string folded = FoldIdentifier(name);
        std::size_t index = 0;
        while (index < FParamFolded.size() && FParamFolded[index] != folded) ++index;
        if (index == FParamFolded.size()) {
            FParamFolded.push_back(folded);
            FOut.ParamNames.push_back(name);
        }
        FOut.MarkerOffsets.push_back(FOut.Text.size());
        FOut.MarkerParams.push_back(index);
        FOut.Text += '?';
        FPos = next + len;
    }

    void Macro() {
        const char marker = FText[FPos];
        const std::size_t next = FPos + 1;
        if (AtEnd(next) || EndsMacroMarker(FText[next])) {
            Copy(1);
            return;
        }
        if (marker == '!' && FText[next] == '!') {
            FOut.Text += '!';
            FPos += 2;
            return;
        }
        const std::size_t len = NameLength(FText, next);
        if (len == 0) {
            Copy(1);
            return;
        }
        const std::string name(FText.substr(next, len));
        const std::string folded = FoldIdentifier(name);
        bool known = false;
        for (const auto& m : FMacroFolded) known = known || m == folded;
        if (!known) {
            FMacroFolded.push_back(folded);
            FOut.MacroNames.push_back(name);
        }
        if (FValues != nullptr) {
            const auto it = FValues->find(folded);
            if (it != FValues->end()) FOut.Text += it->second;
        }
        FPos = next + len;
    }

    std::string_view FText;
    const TSqlMacroValues* FValues;
    TPreprocessedSql FOut;
    std::vector<std::string> FParamFolded;
    std::vector<std::string> FMacroFolded;
    std::size_t FPos = 0;
    EState FState = EState::Normal;
    bool FConditional = false;
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
