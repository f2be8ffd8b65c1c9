#include "incoming/text_cleanup.h"

#include <libxml/HTMLparser.h>
#include <libxml/parser.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "mail/mail_text_util.h"
#include "platform/ascii_text.h"
#include "platform/unicode_chars.h"
#include "platform/utf8_text.h"

namespace kdv {

namespace {


// The parser is pushed pieces of about this size, so a huge mail never needs a
// second copy of itself on the way in.
constexpr std::size_t kFeedChunk = 64 * 1024;
// Deeper nesting than browsers render is still parsed, but its layout is no
// longer tracked, so hostile nesting cannot grow the element stack.
constexpr std::size_t kMaxTrackedDepth = 512;
// The parser keeps every open element; beyond this nesting, which no mail
// program writes, the rest of the text is dropped rather than let a hostile
// mail make the parser's stack several times its own size.
constexpr std::size_t kMaxNesting = 10000;
// Quote marks and list indentation stop growing here, so that deep nesting
// cannot multiply the length of every line.
constexpr int kMaxQuoteMarks = 4;
constexpr std::size_t kMaxListIndent = 4;
// Item numbers of an ordered list start within this range.
constexpr long kMaxListStart = 1000000;

enum TElementKind : std::uint16_t {
    kInline = 0,
    kBlock = 1 << 0,      // starts and ends a line
    kParagraph = 1 << 1,  // a block with an empty line to the next paragraph
    kHidden = 1 << 2,     // its content is not shown
    kPre = 1 << 3,        // white space kept
    kList = 1 << 4,       // ul, ol: numbering and indentation of its items
    kItem = 1 << 5,       // li: a marker before its first line
    kCell = 1 << 6,       // td, th: a tab from the cell before it
    kQuote = 1 << 7,      // blockquote: one ">" per level before each line
    kTableBox = 1 << 8,   // table, tr: lines of their own also inside a cell
};

struct TElementInfo {
    std::string_view name;
    std::uint16_t kind;
};

constexpr TElementInfo kElements[] = {
    {"address", kBlock},    {"article", kBlock},     {"aside", kBlock},       {"blockquote", kBlock | kQuote},
    {"body", kBlock},       {"caption", kBlock},     {"center", kBlock},      {"dd", kBlock},
    {"details", kBlock},    {"dialog", kBlock},      {"dir", kBlock | kList}, {"div", kBlock},
    {"dl", kBlock},         {"dt", kBlock},          {"fieldset", kBlock},    {"figcaption", kBlock},
    {"figure", kBlock},     {"footer", kBlock},      {"form", kBlock},        {"h1", kBlock | kParagraph},
    {"h2", kBlock | kParagraph}, {"h3", kBlock | kParagraph}, {"h4", kBlock | kParagraph},
    {"h5", kBlock | kParagraph}, {"h6", kBlock | kParagraph}, {"head", kHidden},
    {"header", kBlock},     {"hgroup", kBlock},      {"hr", kBlock},          {"html", kBlock},
    {"iframe", kHidden},    {"legend", kBlock},      {"li", kBlock | kItem},  {"listing", kBlock | kPre},
    {"main", kBlock},       {"menu", kBlock | kList}, {"nav", kBlock},        {"object", kHidden},
    {"ol", kBlock | kList}, {"p", kBlock | kParagraph}, {"plaintext", kBlock | kPre},
    {"pre", kBlock | kPre}, {"script", kHidden},     {"section", kBlock},     {"style", kHidden},
    {"summary", kBlock},    {"table", kBlock | kTableBox},       {"td", kCell},           {"template", kHidden},
    {"textarea", kPre},     {"th", kCell},           {"title", kHidden},      {"tr", kBlock | kTableBox},
    {"ul", kBlock | kList}, {"xmp", kBlock | kPre},
};

std::uint16_t KindOf(std::string_view name) {
    for (const TElementInfo& info : kElements) {
        if (EqualsNoCase(info.name, name)) return info.kind;
    }
    return kInline;
}

std::string_view View(const xmlChar* text) {
    return text == nullptr ? std::string_view() : std::string_view(reinterpret_cast<const char*>(text));
}

// The value of an attribute, or empty when the element has none of that name.
std::string_view Attribute(const xmlChar** atts, std::string_view name) {
    if (atts == nullptr) return {};
    for (; atts[0] != nullptr; atts += 2) {
        if (EqualsNoCase(View(atts[0]), name)) return View(atts[1]);
    }
    return {};
}

// True for a style attribute holding "display: none" (any case and blanks).
bool StyleHidesElement(std::string_view style) {
    std::string compact;
    for (const char c : style) {
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') compact += LowerAscii(c);
    }
    return compact.find("display:none") != std::string::npos;
}

bool IsCollapsibleSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

// Valid UTF-8 for the parser: an invalid byte becomes U+FFFD (a parser that
// met one would re-read the rest as Latin-1), NUL is dropped.
void AppendValidUtf8(std::string& out, std::string_view text) {
    while (!text.empty()) {
        const TUtf8Char c = DecodeUtf8Char(text);
        if (!c.Valid) {
            AppendUtf8(out, kReplacementChar);
        } else if (c.Code != 0) {
            out.append(text.substr(0, c.Length));
        }
        text.remove_prefix(c.Length);
    }
}

// Drops the conditional markers Office writes around list bullets and images
// ("<![if !supportLists]>", "<![endif]>"): browsers ignore them, the parser
// would show them as text. Comments pass untouched, since the same markers
// close Office's conditional comments ("<![endif]-->"). Works across pieces
// of any size.
class TConditionalMarkerFilter {
public:
    void Run(std::string_view in, std::string& out) {
        for (const char c : in) Step(c, out);
    }

    void Flush(std::string& out) {
        if (!dropping_) out += held_;
        held_.clear();
    }

private:
    static constexpr std::string_view kMarkers[] = {"<![if", "<![endif", "<!--"};

    void Step(char c, std::string& out) {
        if (in_comment_) {
            out += c;
            in_comment_ = !(c == '>' && dashes_ >= 2);
            dashes_ = c == '-' ? dashes_ + 1 : 0;
            return;
        }
        if (dropping_) {
            dropping_ = c != '>';
            return;
        }
        if (held_.empty() && c != '<') {
            out += c;
            return;
        }
        held_ += c;
        bool prefix = false;
        for (const std::string_view marker : kMarkers) {
            if (held_.size() > marker.size() || !StartsWithNoCase(marker, held_)) continue;
            prefix = true;
            if (held_.size() < marker.size()) continue;
            if (marker == "<!--") {
                out += held_;
                in_comment_ = true;
                dashes_ = 0;
            } else {
                dropping_ = true;
            }
            held_.clear();
            return;
        }
        if (prefix) return;
        held_.pop_back();
        out += held_;
        held_.clear();
        Step(c, out);
    }

    std::string held_;
    bool dropping_ = false;
    bool in_comment_ = false;
    int dashes_ = 0;
};

// The text a reader sees, built line by line from the parser's events.
class TTextBuilder {
public:
    // One visible character (UTF-8 sequence), not white space to collapse.
    void Visible(std::string_view ch) {
        PutSeparator();
        line_ += ch;
        line_has_content_ = true;
        after_paragraph_ = false;
    }

    // Collapsible white space between words.
    void Space() {
        if (!line_.empty() && separator_ == '\0') separator_ = ' ';
    }

    // A blank that does not collapse (no-break space, white space in <pre>).
    void HardBlank(char c) {
        PutSeparator();
        line_ += c;
        line_has_content_ = true;
    }

    // The next cell of a table row: a tab after the cell before it; line
    // ends that only framed the cell before it are dropped.
    void CellSeparator() {
        soft_break_ = false;
        cell_fresh_ = true;
        if (!line_.empty()) separator_ = '\t';
    }

    // A block boundary inside a table cell: a line end only when more text
    // of the same cell follows, so that cells of a row stay on one line.
    void SoftBreak() {
        if (!line_.empty() && !cell_fresh_) soft_break_ = true;
    }

    // A marker ("-", "3.") that starts the current line, followed by a blank.
    void Marker(std::string_view marker) {
        EndLine(false);
        line_ = marker;
        line_has_content_ = true;
        separator_ = ' ';
    }

    // Ends the current line. A hard break (<br>, a line end in <pre>) on an
    // empty line makes an empty line; a block boundary there does nothing.
    void EndLine(bool hard) {
        soft_break_ = false;
        std::size_t end = line_.size();
        while (end > 0 && (line_[end - 1] == ' ' || line_[end - 1] == '\t')) --end;
        if (end > 0) {
            const int marks = std::min(quote_depth_, kMaxQuoteMarks);
            if (!out_.empty()) {
                out_ += "\r\n";
                if (breaks_ > 1) {
                    // An empty line inside a quote keeps the quote's marks.
                    out_.append(static_cast<std::size_t>(std::min(marks, last_quote_marks_)), '>');
                    out_ += "\r\n";
                }
            }
            if (marks > 0) {
                out_.append(static_cast<std::size_t>(marks), '>');
                out_ += ' ';
            }
            out_.append(line_, 0, end);
            last_quote_marks_ = marks;
            breaks_ = 1;
        } else if (hard || line_has_content_) {
            ++breaks_;
        }
        line_.clear();
        line_has_content_ = false;
        separator_ = '\0';
    }

    // A paragraph begins: an empty line when the one before has just ended.
    void StartParagraph() {
        EndLine(false);
        if (after_paragraph_) breaks_ = std::max(breaks_, 2);
    }

    void EndParagraph() {
        EndLine(false);
        after_paragraph_ = true;
    }

    void EnterQuote() {
        EndLine(false);
        ++quote_depth_;
    }

    void LeaveQuote() {
        EndLine(false);
        if (quote_depth_ > 0) --quote_depth_;
    }

    std::string Take() {
        EndLine(false);
        return std::move(out_);
    }

private:
    void PutSeparator() {
        cell_fresh_ = false;
        if (soft_break_) EndLine(false);
        if (separator_ != '\0' && !line_.empty()) line_ += separator_;
        separator_ = '\0';
    }

    std::string out_;
    std::string line_;
    bool line_has_content_ = false;
    // Put before the next visible character when the line is not empty.
    char separator_ = '\0';
    bool soft_break_ = false;
    bool cell_fresh_ = false;  // a cell has begun and shown nothing yet
    // Line breaks owed before the next line that has text; more than one
    // means an empty line (never more than one in a row).
    int breaks_ = 0;
    bool after_paragraph_ = false;
    int quote_depth_ = 0;
    int last_quote_marks_ = 0;
};

struct TOpenElement {
    const xmlChar* name;  // owned by the parser's dictionary or static
    std::uint16_t kind;
};

struct TListLevel {
    bool ordered;
    long next;
};

struct TConverterState {
    htmlParserCtxtPtr parser = nullptr;
    TTextBuilder text;
    std::vector<TOpenElement> open;
    // Elements beyond kMaxTrackedDepth, counted only to stay balanced.
    std::size_t untracked = 0;
    int hidden = 0;
    int pre = 0;
    bool pre_just_opened = false;
    bool pre_after_cr = false;
    std::vector<TListLevel> lists;
    std::string carry;  // a UTF-8 sequence cut at the end of the last piece
    TConditionalMarkerFilter markers;
    std::string ready;  // checked text not yet handed on
    std::string held;   // the start of a tag that the next piece may complete
    bool finished = false;
    bool out_of_memory = false;
    bool stopped = false;

    void Stop() {
        stopped = true;
        xmlStopParser(parser);
    }

    void Start(const xmlChar* name, const xmlChar** atts) {
        if (open.size() + untracked >= kMaxNesting) {
            Stop();
            return;
        }
        if (open.size() >= kMaxTrackedDepth) {
            ++untracked;
            return;
        }
        const std::string_view tag = View(name);
        std::uint16_t kind = KindOf(tag);
        if (StyleHidesElement(Attribute(atts, "style"))) kind |= kHidden;
        // Office writes every line as a paragraph without margins.
        if ((kind & kParagraph) && StartsWithNoCase(Attribute(atts, "class"), "mso")) kind &= ~kParagraph;
        open.push_back({name, kind});
        if (kind & kHidden) ++hidden;
        if (hidden > 0) return;

        if (EqualsNoCase(tag, "br")) {
            text.EndLine(true);
        } else if (kind & kBlock) {
            if (!(kind & kTableBox) && InCell(open.size() - 1)) {
                text.SoftBreak();
            } else if (kind & kParagraph) {
                text.StartParagraph();
            } else {
                text.EndLine(false);
            }
        }
        if (kind & kQuote) text.EnterQuote();
        if (kind & kPre) {
            ++pre;
            pre_just_opened = true;
        }
        if (kind & kList) {
            long start = 1;
            if (EqualsNoCase(tag, "ol")) {
                const std::string value(Attribute(atts, "start"));
                char* end = nullptr;
                const long parsed = std::strtol(value.c_str(), &end, 10);
                if (!value.empty() && *end == '\0') start = std::clamp(parsed, -kMaxListStart, kMaxListStart);
            }
            lists.push_back({EqualsNoCase(tag, "ol"), start});
        }
        if (kind & kItem) {
            std::string marker(lists.empty() ? 0 : 2 * std::min(lists.size() - 1, kMaxListIndent), ' ');
            if (!lists.empty() && lists.back().ordered) {
                marker += std::to_string(lists.back().next++) + ".";
            } else {
                marker += "-";
            }
            text.Marker(marker);
        }
        if (kind & kCell) text.CellSeparator();
    }

    void End(const xmlChar* name) {
        if (untracked > 0) {
            --untracked;
            return;
        }
        auto it = std::find_if(open.rbegin(), open.rend(),
                               [&](const TOpenElement& e) { return xmlStrEqual(e.name, name) != 0; });
        if (it == open.rend()) return;
        const std::size_t keep = open.size() - static_cast<std::size_t>(it - open.rbegin()) - 1;
        while (open.size() > keep) {
            const std::uint16_t kind = open.back().kind;
            open.pop_back();
            Close(kind);
        }
    }

    void Close(std::uint16_t kind) {
        if (hidden > 0) {
            if (kind & kHidden) --hidden;
            return;
        }
        if (kind & kPre) {
            --pre;
            pre_just_opened = false;
        }
        if (kind & kList) lists.pop_back();
        if (kind & kQuote) text.LeaveQuote();
        if (kind & kBlock) {
            if (!(kind & kTableBox) && InCell(open.size())) {
                text.SoftBreak();
            } else if (kind & kParagraph) {
                text.EndParagraph();
            } else {
                text.EndLine(false);
            }
        }
    }

    // Whether the first `depth` open elements end inside a table cell.
    bool InCell(std::size_t depth) const {
        while (depth > 0) {
            const std::uint16_t kind = open[--depth].kind;
            if (kind & kCell) return true;
            if (kind & kTableBox) return false;
        }
        return false;
    }

    void Characters(std::string_view chars) {
        if (hidden > 0) return;
        std::size_t i = 0;
        while (i < chars.size()) {
            const char c = chars[i];
            const auto byte = static_cast<unsigned char>(c);
            if (pre > 0) {
                const bool first = pre_just_opened;
                pre_just_opened = false;
                if (c == '\n') {
                    // A line end right after the opening tag is not shown.
                    if (!pre_after_cr && !first) text.EndLine(true);
                    pre_after_cr = false;
                    ++i;
                    continue;
                }
                pre_after_cr = c == '\r';
                if (c == '\r') {
                    if (!first) text.EndLine(true);
                    ++i;
                    continue;
                }
                if (c == ' ' || c == '\t') {
                    text.HardBlank(c);
                    ++i;
                    continue;
                }
            } else if (IsCollapsibleSpace(c)) {
                text.Space();
                ++i;
                continue;
            }
            if (byte < 0x20 || byte == 0x7F) {
                ++i;  // control characters are not shown
                continue;
            }
            if (byte == 0xC2 && i + 1 < chars.size()) {
                const auto next = static_cast<unsigned char>(chars[i + 1]);
                if (next == 0xA0) {
                    text.HardBlank(' ');
                    i += 2;
                    continue;
                }
                if (next >= 0x80 && next <= 0x9F) {
                    // References to 128-159 mean the Windows-1252 letters there.
                    const char32_t mapped = kWindows1252High[next - 0x80];
                    if (mapped >= 0x100) {
                        std::string utf8;
                        AppendUtf8(utf8, mapped);
                        text.Visible(utf8);
                    }
                    i += 2;
                    continue;
                }
            }
            const TUtf8Char decoded = DecodeUtf8Char(chars.substr(i));
            const std::size_t len = decoded.Valid ? decoded.Length : 1;
            text.Visible(chars.substr(i, len));
            i += len;
        }
    }

    // Parser events must not unwind through the C library: a failed
    // allocation stops the parser and is raised again when it has returned.
    template <typename F>
    void Guarded(F&& f) {
        if (stopped) return;
        try {
            f();
        } catch (...) {
            out_of_memory = true;
            Stop();
        }
    }

    void Push(const char* data, std::size_t size, bool terminate) {
        if (stopped) return;
        htmlParseChunk(parser, data, static_cast<int>(size), terminate ? 1 : 0);
        if (out_of_memory) throw std::bad_alloc();
    }

    // Hands text to the parser in pieces that end right before a "<": the
    // parser misses an end tag of script or style split between two pieces.
    // What is held back starts with the last "<" and holds no other one; once
    // it is longer than any end tag, it goes on, so that long text after a
    // tag is not held twice.
    void Offer(std::string_view data) {
        const std::size_t last = data.rfind('<');
        if (last == std::string_view::npos) {
            if (held.empty()) {
                Push(data.data(), data.size(), false);
                return;
            }
            held.append(data);
            if (held.size() > kFeedChunk) {
                Push(held.data(), held.size(), false);
                held.clear();
            }
            return;
        }
        held.append(data.substr(0, last));
        if (!held.empty()) Push(held.data(), held.size(), false);
        held.assign(data.substr(last));
    }

    void Complete() {
        Push(held.data(), held.size(), true);
        held.clear();
    }
};

TConverterState& StateOf(void* user) {
    return *static_cast<TConverterState*>(user);
}

void OnStartElement(void* user, const xmlChar* name, const xmlChar** atts) {
    auto& s = StateOf(user);
    s.Guarded([&] { s.Start(name, atts); });
}

void OnEndElement(void* user, const xmlChar* name) {
    auto& s = StateOf(user);
    s.Guarded([&] { s.End(name); });
}

void OnCharacters(void* user, const xmlChar* chars, int len) {
    auto& s = StateOf(user);
    s.Guarded([&] { s.Characters(std::string_view(reinterpret_cast<const char*>(chars), static_cast<std::size_t>(len))); });
}

// Malformed HTML is the rule in mail, not news for the log or stderr.
void IgnoreError(void*, xmlErrorPtr) {}

htmlSAXHandler MakeHandler() {
    htmlSAXHandler sax{};
    sax.startElement = OnStartElement;
    sax.endElement = OnEndElement;
    sax.characters = OnCharacters;
    sax.ignorableWhitespace = OnCharacters;
    // Text of script and style elements arrives here; both are hidden anyway.
    sax.cdataBlock = OnCharacters;
    sax.initialized = XML_SAX2_MAGIC;
    sax.serror = IgnoreError;
    return sax;
}

}  // namespace

struct THtmlTextConverter::TState : TConverterState {};

THtmlTextConverter::THtmlTextConverter() : state_(std::make_unique<TState>()) {
    static const bool initialised = (xmlInitParser(), true);
    (void)initialised;
    htmlSAXHandler sax = MakeHandler();
    // A push parser with SAX events holds only the piece in hand and the
    // open elements, never a tree of the whole mail.
    state_->parser = htmlCreatePushParserCtxt(&sax, static_cast<TConverterState*>(state_.get()), nullptr, 0, nullptr, XML_CHAR_ENCODING_UTF8);
    if (state_->parser == nullptr) throw std::bad_alloc();
    // The text is UTF-8 already; a <meta> charset must not make the parser
    // decode it a second time.
    htmlCtxtUseOptions(state_->parser, HTML_PARSE_RECOVER | HTML_PARSE_NONET | HTML_PARSE_IGNORE_ENC);
}

THtmlTextConverter::~THtmlTextConverter() {
    if (state_->parser != nullptr) htmlFreeParserCtxt(state_->parser);
}

void THtmlTextConverter::Feed(std::string_view html) {
    TState& s = *state_;
    if (s.finished) return;
    while (!html.empty()) {
        const std::size_t take = std::min(html.size(), kFeedChunk);
        std::string raw = std::move(s.carry);
        raw.append(html.substr(0, take));
        html.remove_prefix(take);
        const std::size_t tail = Utf8UnfinishedTail(raw);
        s.carry.assign(raw, raw.size() - tail, tail);
        std::string valid;
        AppendValidUtf8(valid, std::string_view(raw).substr(0, raw.size() - tail));
        s.markers.Run(valid, s.ready);
        // The parser gets pieces of one size whatever the caller's pieces
        // were: on broken HTML its result depends on where pieces end.
        std::size_t offered = 0;
        for (; s.ready.size() - offered >= kFeedChunk; offered += kFeedChunk) {
            s.Offer(std::string_view(s.ready).substr(offered, kFeedChunk));
        }
        s.ready.erase(0, offered);
    }
}

std::string THtmlTextConverter::Finish() {
    TState& s = *state_;
    if (s.finished) return {};
    s.finished = true;
    std::string valid;
    AppendValidUtf8(valid, s.carry);
    s.carry.clear();
    s.markers.Run(valid, s.ready);
    s.markers.Flush(s.ready);
    s.Offer(s.ready);
    s.ready.clear();
    s.Complete();
    return s.text.Take();
}

std::string HtmlToText(std::string_view html) {
    THtmlTextConverter converter;
    converter.Feed(html);
    return converter.Finish();
}

std::string CleanBetreff(std::string_view subject) {
    std::string result(subject);
    for (char& c : result) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) c = ' ';
    }
    // C1 control characters (U+0080 to U+009F) are two bytes in UTF-8.
    for (std::size_t i = 0; i + 1 < result.size(); ++i) {
        const auto next = static_cast<unsigned char>(result[i + 1]);
        if (static_cast<unsigned char>(result[i]) == 0xC2 && next >= 0x80 && next <= 0x9F) {
            result.replace(i, 2, " ");
        }
    }
    std::string_view rest = mailtext::TrimBlanks(result);
    for (bool found = true; found;) {
        found = false;
        for (const std::string_view marker : {"fwd:", "fw:", "wg:", "aw:", "re:"}) {
            if (StartsWithNoCase(rest, marker)) {
                rest = mailtext::TrimBlanks(rest.substr(marker.size()));
                found = true;
                break;
            }
        }
    }
    return std::string(rest);
}

std::string CleanDateiname(std::string_view fileName) {
    std::string result;
    result.reserve(fileName.size());
    for (const char c : fileName) {
        if (c != '#' && c != '!' && c != ':' && c != '&' && c != '?') {
            result += c;
        }
    }
    return result;
}

}  // namespace kdv
