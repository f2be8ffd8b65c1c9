#include "platform/ini_file.h"

#include <charconv>
#include <climits>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/ascii_text.h"
#include "platform/dira_error.h"
#include "platform/path_text.h"
#include "platform/text_file_encoding.h"
#include "platform/text_file_io.h"
#include "platform/text_file_lines.h"
#include "platform/utf8_text.h"

namespace kdv {

namespace {

constexpr std::string_view kBlanks = " \t";
// Line break of a file that has none yet; the file is also edited on Windows.
constexpr std::string_view kDefaultLineBreak = "\r\n";

std::string_view Trim(std::string_view s) {
    const std::size_t first = s.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    const std::size_t last = s.find_last_not_of(kBlanks);
    return s.substr(first, last - first + 1);
}

std::string_view TrimRight(std::string_view s) {
    const std::size_t last = s.find_last_not_of(kBlanks);
    return last == std::string_view::npos ? std::string_view{} : s.substr(0, last + 1);
}

// Case folding for names: ASCII and the Latin-1 letters (umlauts and the like).
char32_t FoldCase(char32_t c) {
    if (c >= U'A' && c <= U'Z') return c + 32;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
    return c;
}

bool SameName(std::string_view a, std::string_view b) {
    while (!a.empty() && !b.empty()) {
        const TUtf8Char ca = DecodeUtf8Char(a);
        const TUtf8Char cb = DecodeUtf8Char(b);
        a.remove_prefix(ca.Valid ? ca.Length : 1);
        b.remove_prefix(cb.Valid ? cb.Length : 1);
        if (FoldCase(ca.Code) != FoldCase(cb.Code)) return false;
    }
    return a.empty() && b.empty();
}

struct TIniLine {
    enum EKind { Other, Section, Key };
    EKind Kind = Other;
    std::string_view Name;   // trimmed
    std::string_view Value;  // trimmed; keys only
};

// One line of the file: "[Name]" (text after the "]" ignored), "Key=Value",
// or anything else (comment, blank, a line without "=").
TIniLine ParseIniLine(std::string_view line) {
    const std::string_view trimmed = Trim(line);
    if (trimmed.empty() || trimmed.front() == ';') return {};
    if (trimmed.front() == '[') {
        const std::string_view inner = trimmed.substr(1);
        return {TIniLine::Section, Trim(inner.substr(0, inner.find(']'))), {}};
    }
    const std::size_t equals = trimmed.find('=');
    if (equals == std::string_view::npos) return {};
    const std::string_view name = Trim(trimmed.substr(0, equals));
    if (name.empty()) return {};
    return {TIniLine::Key, name, Trim(trimmed.substr(equals + 1))};
}

// Where a key stands in the file, or would have to go.
struct TIniPosition {
    std::optional<std::size_t> KeyLine;      // the line holding the key
    std::optional<std::size_t> SectionLine;  // the first "[Section]" line
    // After the last key of that section, or after its header: comments and
    // blank lines below the last key introduce the next section.
    std::size_t SectionEnd = 0;
};

// Every section of the name is searched, in file order; the first key found wins.
TIniPosition LocateKey(const std::vector<std::string_view>& lines, std::string_view section,
                       std::string_view ident) {
    TIniPosition position;
    bool inSection = false;
    bool inFirstSection = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const TIniLine line = ParseIniLine(lines[i]);
        if (line.Kind == TIniLine::Section) {
            inSection = SameName(line.Name, section);
            inFirstSection = inSection && !position.SectionLine;
            if (inFirstSection) {
                position.SectionLine = i;
                position.SectionEnd = i + 1;
            }
            continue;
        }
        if (inFirstSection && line.Kind == TIniLine::Key) position.SectionEnd = i + 1;
        if (inSection && line.Kind == TIniLine::Key && !position.KeyLine && SameName(line.Name, ident)) {
            position.KeyLine = i;
        }
    }
    return position;
}

std::string_view Unquote(std::string_view value) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

// The value as it must stand in the file so that a read gives it back unchanged.
std::string StoredValue(std::string_view value) {
    const bool loosesBlanks = !value.empty() && (kBlanks.find(value.front()) != std::string_view::npos ||
                                                kBlanks.find(value.back()) != std::string_view::npos);
    if (loosesBlanks || Unquote(value).size() != value.size()) return "\"" + std::string(value) + "\"";
    return std::string(value);
}

std::optional<int> ParseIniInteger(std::string_view text) {
    std::string value(text);
    if (value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) {
        value = "$" + value.substr(2);
    }
    const char* first = value.data();
    const char* last = value.data() + value.size();
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    if (!value.empty() && value[0] == '$') {
        ++first;
        if (first == last || HexDigitValue(*first) < 0) return std::nullopt;
        unsigned long long number = 0;
        const auto [end, ec] = std::from_chars(first, last, number, 16);
        if (ec != std::errc{} || end != last || number > static_cast<unsigned long long>(INT_MAX)) {
            return std::nullopt;
        }
        return static_cast<int>(number);
    }
    bool negative = false;
    if (first != last && (*first == '+' || *first == '-')) {
        negative = *first == '-';
        ++first;
    }
    if (first == last || !isDigit(*first)) return std::nullopt;
    long long number = 0;
    const auto [end, ec] = std::from_chars(first, last, number, 10);
    if (ec != std::errc{} || end != last) return std::nullopt;
    if (negative) number = -number;
    if (number < INT_MIN || number > INT_MAX) return std::nullopt;
    return static_cast<int>(number);
}

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

}  // namespace

TIniFile::TIniFile(std::filesystem::path FileName) : FFileName(std::move(FileName)) {}

const std::filesystem::path& TIniFile::FileName() const { return FFileName; }

std::string TIniFile::ReadString(const std::string& Section, const std::string& Ident,
                                 const std::string& Default) const {
    std::string bytes;
    if (ReadWholeFile(FFileName, kMaxIniFileBytes, bytes)) return Default;
    const std::string text = TextFileToUtf8(bytes);
    std::vector<std::string_view> lines;
    for (const TTextLine& line : SplitTextLines(text)) lines.push_back(line.Content);
    const TIniPosition position = LocateKey(lines, Trim(Section), Trim(Ident));
    if (!position.KeyLine) return Default;
    const std::string_view value = Unquote(ParseIniLine(lines[*position.KeyLine]).Value);
    return std::string(Utf8PrefixByChars(value, kMaxIniValueChars));
}

int TIniFile::ReadInteger(const std::string& Section, const std::string& Ident, int Default) const {
    return ParseIniInteger(ReadString(Section, Ident, std::string())).value_or(Default);
}

bool TIniFile::ReadBool(const std::string& Section, const std::string& Ident, bool Default) const {
    return ReadInteger(Section, Ident, Default ? 1 : 0) != 0;
}

void TIniFile::WriteString(const std::string& Section, const std::string& Ident, const std::string& Value) {
    const std::string_view section = Trim(Section);
    const std::string_view ident = Trim(Ident);
    const auto refuse = [&] { throw EDiraError(TErrorKind::ekLocal, "In " + PathToUtf8(FFileName) + " kann nicht geschrieben werden"); };
    // Names and values that would break the line structure would corrupt
    // the file for every later read, so they are refused like a locked file.
    if (section.empty() || HasLineBreak(section) || section.find(']') != std::string_view::npos) refuse();
    if (ident.empty() || HasLineBreak(ident) || ident.find('=') != std::string_view::npos ||
        ident.front() == ';' || ident.front() == '[') {
        refuse();
    }
    if (HasLineBreak(Value)) refuse();

    // Read, change and replace must not interleave with another write of
    // this process, or one of the two changes would be lost.
    static std::mutex writeLock;
    const std::lock_guard<std::mutex> guard(writeLock);

    std::string bytes;
    const std::error_code readError = ReadWholeFile(FFileName, kMaxIniFileBytes, bytes);
    if (readError && readError != std::errc::no_such_file_or_directory) refuse();

    // Lines are kept as stored so that untouched lines keep their bytes; only
    // a UTF-16 file is converted, and converted back as a whole.
    const ETextFileEncoding encoding = DetectTextFileEncoding(bytes);
    const bool utf16 = encoding == ETextFileEncoding::Utf16LE || encoding == ETextFileEncoding::Utf16BE;
    const std::string_view body = std::string_view(bytes).substr(ByteOrderMarkLength(encoding));
    const std::string text = utf16 ? Utf16ToUtf8(body, encoding == ETextFileEncoding::Utf16BE) : std::string(body);
    // A file without mark in the ANSI code page (Windows) stays in it: new
    // text is converted into it, as every other line keeps its bytes.
    const bool ansi = encoding == ETextFileEncoding::Utf8 && UnmarkedTextIsAnsi(body);
    const auto fileText = [ansi](const std::string& utf8) { return UnmarkedTextFromUtf8(utf8, ansi); };

    std::vector<std::string> raw;
    std::vector<std::string> breaks;
    std::vector<std::string> decoded;
    for (const TTextLine& line : SplitTextLines(text)) {
        raw.emplace_back(line.Content);
        breaks.emplace_back(line.Break);
        decoded.push_back(utf16 ? std::string(line.Content) : UnmarkedTextToUtf8(line.Content, ansi));
    }
    std::string lineBreak(kDefaultLineBreak);
    for (const std::string& b : breaks) {
        if (!b.empty()) {
            lineBreak = b;
            break;
        }
    }
    const std::vector<std::string_view> views(decoded.begin(), decoded.end());
    const TIniPosition position = LocateKey(views, section, ident);
    const std::string stored = StoredValue(Value);

    const auto insertLines = [&](std::size_t at, std::vector<std::string> lines) {
        // The line before the new ones may be the file's last, without break.
        if (at > 0 && breaks[at - 1].empty()) breaks[at - 1] = lineBreak;
        for (std::string& line : lines) {
            raw.insert(raw.begin() + static_cast<std::ptrdiff_t>(at), std::move(line));
            breaks.insert(breaks.begin() + static_cast<std::ptrdiff_t>(at), lineBreak);
            ++at;
        }
    };
    if (position.KeyLine) {
        // The key keeps its spelling and indentation as the operator wrote it.
        std::string& line = raw[*position.KeyLine];
        line = std::string(TrimRight(std::string_view(line).substr(0, line.find('=')))) + "=" + fileText(stored);
    } else if (position.SectionLine) {
        insertLines(position.SectionEnd, {fileText(std::string(ident) + "=" + stored)});
    } else {
        std::vector<std::string> lines;
        if (!raw.empty() && !Trim(decoded.back()).empty()) lines.emplace_back();
        lines.push_back(fileText("[" + std::string(section) + "]"));
        lines.push_back(fileText(std::string(ident) + "=" + stored));
        insertLines(raw.size(), std::move(lines));
    }

    std::string joined;
    for (std::size_t i = 0; i < raw.size(); ++i) joined += raw[i] + breaks[i];
    const std::string output = utf16 ? TextFileFromUtf8(joined, encoding)
                                     : std::string(bytes.substr(0, ByteOrderMarkLength(encoding))) + joined;
    if (ReplaceWholeFile(FFileName, output)) refuse();
}

}  // namespace kdv
