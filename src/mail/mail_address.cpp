#include "mail/mail_address.h"

#include "mail/mail_header_params.h"

#include "mail/mail_text_util.h"

namespace kdv {
using namespace mailtext;
namespace {

constexpr std::size_t npos = std::string_view::npos;

// Characters that may stand in a local part or display name without quotes
// (letters and digits besides).
constexpr std::string_view kAtomSpecials = "`!#$%&'*+-/=?_{}|~";

bool IsAtomChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           kAtomSpecials.find(c) != npos;
}


// The address as it is written; `bracketed` encloses a plain address in
// angle brackets (a quoted local part is always bracketed).
std::string AddressForm(std::string_view address, bool bracketed) {
    const std::size_t at = address.rfind('@');
    const std::string_view local = at == npos ? address : address.substr(0, at);
    const std::string_view domain = at == npos ? std::string_view() : address.substr(at);
    bool plain = true;
    for (const char c : local) {
        // Dots separate atoms; any other special character forces quotes.
        if (!IsAtomChar(c) && c != '.') {
            plain = false;
            break;
        }
    }
    if (plain) {
        return bracketed ? "<" + std::string(address) + ">" : std::string(address);
    }
    return "<" + QuotedString(local) + std::string(domain) + ">";
}

bool IsPlainName(std::string_view name) {
    for (const char c : name) {
        if (!IsAtomChar(c) && c != ' ') return false;
    }
    return true;
}

// Walks one address text. The state names follow the text's structure:
// a comment "( )", a quoted string, the address (after "<" or an "@"), the
// domain (after "@").
class TAddressParser {
public:
    TAddressParser(std::string_view text, std::string& address, std::string& name)
        : s_(text), lastQuote_(text.rfind('"')), address_(address), name_(name) {}

    void Run() {
        const bool hasAngle = s_.find('<') != npos;
        std::size_t d = s_.find_first_of(hasAngle ? std::string_view("(\"< \t") : std::string_view("(\" @\t"));
        if (d == npos) {
            address_ = s_;
            return;
        }
        for (;;) {
            if (d == npos) break;
            if (!Step(d)) return;
            d = NextDelimiter();
        }
        Finish();
    }

private:
    std::size_t NextDelimiter() const {
        if (pos_ >= s_.size()) return npos;
        if (depth_ > 0) return s_.find_first_of("()\\", pos_);
        if (inQuotes_) {
            // The last quote closes, so an unescaped quote inside a display
            // name does not end it early; escapes before it are honoured.
            const std::size_t lastQuote = lastQuote_ != npos && lastQuote_ >= pos_ ? lastQuote_ : npos;
            const std::size_t backslash = s_.find('\\', pos_);
            if (backslash != npos && (lastQuote == npos || backslash < lastQuote)) return backslash;
            return lastQuote;
        }
        if (afterAt_ && inAngle_) return s_.find_first_of(".>(", pos_);
        if (afterAt_) return s_.find_first_of(".( ", pos_);
        if (inAddress_) return s_.find_first_of("\"(@>", pos_);
        return s_.find_first_of("(\"< @\t", pos_);
    }

    // Handles the delimiter at d; false when parsing is complete.
    bool Step(std::size_t d) {
        const std::string_view before = s_.substr(pos_, d - pos_);
        const char c = s_[d];
        const std::size_t start = pos_;
        pos_ = d + 1;
        if (depth_ > 0) {
            // Comment text is dropped; an escaped character cannot close it.
            if (c == '(') ++depth_;
            else if (c == ')') --depth_;
            else if (pos_ < s_.size()) ++pos_;
            return true;
        }
        if (inQuotes_) {
            quoted_ += before;
            if (c == '\\') {
                if (pos_ < s_.size()) quoted_ += s_[pos_++];
            } else {
                CloseQuotes();
            }
            return true;
        }
        switch (c) {
            case ' ':
            case '\t':
                if (before.empty()) {
                    // Keeps one blank between name words that a comment or a
                    // quoted string separated, never a leading one.
                    if (!afterAt_ && !name_.empty() && !IsBlankOrTab(name_.back())) name_ += ' ';
                } else if (afterAt_) {
                    address_ += TrimBlanks(before);
                } else {
                    name_ += before;
                    name_ += c;
                }
                break;
            case '"':
                (inAddress_ ? address_ : name_) += before;
                inQuotes_ = true;
                quoted_.clear();
                break;
            case '(':
                if (!before.empty()) {
                    if (inAddress_) address_ += TrimBlanks(before);
                    else name_ += before;
                }
                depth_ = 1;
                break;
            case '.':
                if (inAngle_) {
                    address_ += TrimBlanks(before);
                    address_ += '.';
                    while (pos_ < s_.size() && IsBlankOrTab(s_[pos_])) ++pos_;
                } else {
                    address_ += before;
                    address_ += '.';
                }
                break;
            case '<':
                name_ += before;
                TrimNameInPlace();
                inAddress_ = true;
                inAngle_ = true;
                break;
            case '>':
                address_ += TrimBlanks(before);
                inAddress_ = false;
                afterAt_ = false;
                inAngle_ = false;
                closedAngle_ = true;
                break;
            case '@':
                if (!inAddress_ && closedAngle_) {
                    // Text after a complete <address> belongs to the name.
                    name_ += s_.substr(start);
                    name_ = std::string(TrimControls(name_));
                    return false;
                }
                // Inside angle brackets blanks around the local part are layout.
                address_ += inAngle_ ? TrimBlanks(before) : before;
                address_ += '@';
                inAddress_ = true;
                afterAt_ = true;
                break;
            default:
                break;
        }
        return true;
    }

    // In place: a text with many "<" must not copy the name each time.
    void TrimNameInPlace() {
        while (!name_.empty() && IsBlankOrTab(name_.back())) name_.pop_back();
        std::size_t lead = 0;
        while (lead < name_.size() && IsBlankOrTab(name_[lead])) ++lead;
        if (lead > 0) name_.erase(0, lead);
    }

    void CloseQuotes() {
        inQuotes_ = false;
        const bool localPart = pos_ < s_.size() && s_[pos_] == '@';
        (inAddress_ || localPart ? address_ : name_) += TrimControls(quoted_);
        quoted_.clear();
    }

    void Finish() {
        const std::string_view rest = pos_ < s_.size() ? s_.substr(pos_) : std::string_view();
        if (depth_ > 0) {
            // an unclosed comment: its text is dropped
        } else if (inQuotes_) {
            quoted_ += rest;
            CloseQuotes();
        } else if (inAddress_) {
            address_ += TrimBlanks(rest);
        } else {
            name_ += rest;
        }
        name_ = std::string(TrimControls(name_));
    }

    std::string_view s_;
    std::size_t lastQuote_;
    std::string& address_;
    std::string& name_;
    std::size_t pos_ = 0;
    int depth_ = 0;
    bool inQuotes_ = false;
    bool inAddress_ = false;
    bool inAngle_ = false;
    bool closedAngle_ = false;
    bool afterAt_ = false;
    std::string quoted_;
};

// Adds an item for `piece` unless its text form is empty or "<>".
void AddPiece(TMailEMailAddressList& list, std::string_view piece) {
    TMailEMailAddressItem& item = list.Add();
    item.SetText(TrimLeftBlanks(piece));
    const std::string text = item.Text();
    const std::string_view form = TrimControls(text);
    if (form.empty() || form == "<>") list.Delete(list.Count() - 1);
}

}  // namespace

std::string TMailEMailAddressItem::Text() const {
    if (Address.empty()) return Name.empty() ? std::string() : (IsPlainName(Name) ? Name + " <>" : QuotedString(Name) + " <>");
    if (Name.empty() || EqualsNoCase(Name, Address)) return AddressForm(Address, false);
    const std::string address = AddressForm(Address, true);
    if (IsPlainName(Name)) return Name + " " + address;
    return QuotedString(Name) + " " + address;
}

void TMailEMailAddressItem::SetText(std::string_view text) {
    Address.clear();
    Name.clear();
    const std::string_view trimmed = TrimControls(text);
    if (trimmed.empty()) return;
    TAddressParser(trimmed, Address, Name).Run();
}

std::string TMailEMailAddressItem::User() const {
    const std::size_t at = Address.rfind('@');
    return at == npos ? Address : Address.substr(0, at);
}

std::string TMailEMailAddressItem::Domain() const {
    const std::size_t at = Address.rfind('@');
    return at == npos ? std::string() : Address.substr(at + 1);
}

TMailEMailAddressList& TMailEMailAddressList::operator=(const TMailEMailAddressList& other) {
    if (this != &other) {
        Clear();
        AddItems(other);
    }
    return *this;
}

TMailEMailAddressItem& TMailEMailAddressList::Add() {
    items_.push_back(std::make_unique<TMailEMailAddressItem>());
    return *items_.back();
}

void TMailEMailAddressList::AddItems(const TMailEMailAddressList& other) {
    // Copy first: `other` may be this very list.
    std::vector<std::unique_ptr<TMailEMailAddressItem>> copies;
    copies.reserve(other.items_.size());
    for (const auto& item : other.items_) copies.push_back(std::make_unique<TMailEMailAddressItem>(*item));
    for (auto& copy : copies) items_.push_back(std::move(copy));
}

void TMailEMailAddressList::Delete(std::size_t index) {
    if (index < items_.size()) items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
}

std::string TMailEMailAddressList::EMailAddresses() const {
    std::string text;
    for (const auto& item : items_) {
        if (!text.empty()) text += ", ";
        text += item->Text();
    }
    return text;
}

void TMailEMailAddressList::SetEMailAddresses(std::string_view text) {
    Clear();
    if (TrimControls(text).empty()) return;
    if (text.find_first_of(":;(\", \t") == npos) {
        AddPiece(*this, text);
        return;
    }
    std::string piece;
    int depth = 0;
    bool inQuotes = false;
    std::size_t pos = 0;
    for (;;) {
        const std::size_t d = depth > 0  ? text.find_first_of("()\\", pos)
                              : inQuotes ? text.find_first_of("\"\\", pos)
                                         : text.find_first_of(":;(\", \t", pos);
        if (d == npos) break;
        const std::string_view before = text.substr(pos, d - pos);
        pos = d + 1;
        switch (text[d]) {
            case '"':
                inQuotes = !inQuotes;
                [[fallthrough]];
            case ' ':
            case '\t':
                piece += before;
                piece += text[d];
                break;
            case '(':
                ++depth;
                piece += before;
                piece += '(';
                break;
            case ')':
                --depth;
                piece += before;
                piece += ')';
                break;
            case '\\':
                piece += before;
                piece += '\\';
                if (pos < text.size()) piece += text[pos++];
                break;
            case ',':
                piece += before;
                AddPiece(*this, piece);
                piece.clear();
                break;
            case ':':
                piece.clear();  // a group name
                break;
            case ';':
                piece += before;
                if (!TrimControls(piece).empty()) AddPiece(*this, piece);
                piece.clear();
                break;
            default:
                break;
        }
    }
    const std::string_view rest = pos < text.size() ? text.substr(pos) : std::string_view();
    if (TrimControls(piece).empty() && TrimControls(rest).empty()) return;
    piece += rest;
    AddPiece(*this, piece);
}

}  // namespace kdv
