#include "platform/code_page_converter.h"

#include <iconv.h>

#include <cerrno>
#include <mutex>
#include <vector>

#include "platform/utf8_text.h"

namespace kdv {

TCodePageConverter::~TCodePageConverter() = default;

namespace {

// Output is produced in blocks of this size; large enough that a line of mail
// text is converted in one call.
constexpr std::size_t kOutputBlock = 4096;
// Idle conversion descriptors kept per direction; more would only hold memory
// for a burst of parallel callers that this service never has.
constexpr std::size_t kMaxIdleDescriptors = 4;

// The conversion names of the system library for the Windows code pages it knows.
struct TCodePageName {
    int codePage;
    const char* name;
};

constexpr TCodePageName kCodePageNames[] = {
    {37, "IBM037"},         {437, "IBM437"},         {500, "IBM500"},         {708, "ASMO-708"},
    {737, "CP737"},         {775, "CP775"},          {850, "CP850"},          {852, "CP852"},
    {855, "CP855"},         {857, "CP857"},          {858, "CP858"},          {860, "CP860"},
    {861, "CP861"},         {862, "CP862"},          {863, "CP863"},          {864, "CP864"},
    {865, "CP865"},         {866, "CP866"},          {869, "CP869"},          {870, "IBM870"},
    {874, "CP874"},         {875, "CP875"},          {932, "CP932"},          {936, "CP936"},
    {949, "CP949"},         {950, "CP950"},          {1026, "IBM1026"},       {1047, "IBM1047"},
    {1140, "IBM1140"},      {1141, "IBM1141"},       {1142, "IBM1142"},       {1143, "IBM1143"},
    {1144, "IBM1144"},      {1145, "IBM1145"},       {1146, "IBM1146"},       {1147, "IBM1147"},
    {1148, "IBM1148"},      {1149, "IBM1149"},       {1200, "UTF-16LE"},      {1201, "UTF-16BE"},
    {1250, "CP1250"},       {1251, "CP1251"},        {1252, "CP1252"},        {1253, "CP1253"},
    {1254, "CP1254"},       {1255, "CP1255"},        {1256, "CP1256"},        {1257, "CP1257"},
    {1258, "CP1258"},       {1361, "JOHAB"},         {10000, "MACINTOSH"},    {10007, "MACCYRILLIC"},
    {10029, "MAC-CENTRALEUROPE"}, {12000, "UTF-32LE"}, {12001, "UTF-32BE"},  {20106, "ISO646-DE"},
    {20107, "ISO646-SE"},   {20108, "ISO646-NO"},    {20127, "ASCII"},        {20273, "IBM273"},
    {20277, "IBM277"},      {20278, "IBM278"},       {20280, "IBM280"},       {20284, "IBM284"},
    {20285, "IBM285"},      {20290, "IBM290"},       {20297, "IBM297"},       {20420, "IBM420"},
    {20423, "IBM423"},      {20424, "IBM424"},       {20866, "KOI8-R"},       {20871, "IBM871"},
    {20880, "IBM880"},      {20905, "IBM905"},       {20932, "EUC-JP"},       {21866, "KOI8-U"},
    {28591, "ISO-8859-1"},  {28592, "ISO-8859-2"},   {28593, "ISO-8859-3"},   {28594, "ISO-8859-4"},
    {28595, "ISO-8859-5"},  {28596, "ISO-8859-6"},   {28597, "ISO-8859-7"},   {28598, "ISO-8859-8"},
    {28599, "ISO-8859-9"},  {28603, "ISO-8859-13"},  {28605, "ISO-8859-15"},  {38598, "ISO-8859-8"},
    {50220, "ISO-2022-JP"}, {50221, "ISO-2022-JP"},  {50222, "ISO-2022-JP"},  {50225, "ISO-2022-KR"},
    {51932, "EUC-JP"},      {51936, "EUC-CN"},       {51949, "EUC-KR"},       {54936, "GB18030"},
    {65000, "UTF-7"},       {65001, "UTF-8"},
};

const char* SystemName(int codePage) {
    for (const TCodePageName& entry : kCodePageNames) {
        if (entry.codePage == codePage) {
            return entry.name;
        }
    }
    return nullptr;
}

const iconv_t kNoDescriptor = reinterpret_cast<iconv_t>(-1);

// Descriptors carry conversion state and must not be shared by two callers at
// once; a pool hands each caller its own and keeps a few for reuse.
class TDescriptorPool {
public:
    TDescriptorPool(const char* to, const char* from) : to_(to), from_(from) {}
    ~TDescriptorPool() {
        for (iconv_t cd : idle_) {
            iconv_close(cd);
        }
    }
    TDescriptorPool(const TDescriptorPool&) = delete;
    TDescriptorPool& operator=(const TDescriptorPool&) = delete;

    iconv_t Acquire() const {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!idle_.empty()) {
                iconv_t cd = idle_.back();
                idle_.pop_back();
                return cd;
            }
        }
        return iconv_open(to_, from_);
    }

    void Release(iconv_t cd) const {
        iconv(cd, nullptr, nullptr, nullptr, nullptr);  // back to the initial shift state
        std::lock_guard<std::mutex> lock(mutex_);
        if (idle_.size() < kMaxIdleDescriptors) {
            idle_.push_back(cd);
            return;
        }
        iconv_close(cd);
    }

private:
    const char* to_;
    const char* from_;
    mutable std::mutex mutex_;
    mutable std::vector<iconv_t> idle_;
};

// A descriptor for the length of one conversion.
class TBorrowed {
public:
    explicit TBorrowed(const TDescriptorPool& pool) : pool_(pool), cd_(pool.Acquire()) {}
    ~TBorrowed() {
        if (cd_ != kNoDescriptor) {
            pool_.Release(cd_);
        }
    }
    TBorrowed(const TBorrowed&) = delete;
    TBorrowed& operator=(const TBorrowed&) = delete;
    iconv_t Get() const { return cd_; }

private:
    const TDescriptorPool& pool_;
    iconv_t cd_;
};

enum class EConvertStop { Done, Invalid, Truncated };

// Appends what a stateful target still owes to return to its initial state
// (the shift back to ASCII of a 7-bit Japanese text, for instance).
void FlushShiftState(iconv_t cd, std::string& out) {
    char buffer[kOutputBlock];
    char* outPtr = buffer;
    std::size_t outLeft = sizeof buffer;
    iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
    out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
}

// Converts as much of input as possible, appending to out; stops at the end
// or at the first byte the descriptor refuses (input then points at it).
EConvertStop ConvertSome(iconv_t cd, std::string_view& input, std::string& out) {
    char buffer[kOutputBlock];
    while (!input.empty()) {
        char* in = const_cast<char*>(input.data());
        std::size_t inLeft = input.size();
        char* outPtr = buffer;
        std::size_t outLeft = sizeof buffer;
        const std::size_t result = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        const int error = errno;
        out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
        input.remove_prefix(input.size() - inLeft);
        if (result != static_cast<std::size_t>(-1)) {
            break;
        }
        if (error == E2BIG) {
            continue;
        }
        return error == EINVAL ? EConvertStop::Truncated : EConvertStop::Invalid;
    }
    FlushShiftState(cd, out);
    return EConvertStop::Done;
}

class TIconvConverter final : public TCodePageConverter {
public:
    explicit TIconvConverter(const char* name)
        : decode_("UTF-8", name), encode_(name, "UTF-8") {}

    bool Open() {
        TBorrowed decoder(decode_);
        TBorrowed encoder(encode_);
        if (decoder.Get() == kNoDescriptor || encoder.Get() == kNoDescriptor) {
            return false;
        }
        std::string_view question = "?";
        if (ConvertSome(encoder.Get(), question, replacement_) != EConvertStop::Done ||
            replacement_.empty()) {
            return false;
        }
        return true;
    }

    std::string ToUtf8(std::string_view bytes) const override {
        static constexpr std::string_view kReplacementChar = "\xEF\xBF\xBD";
        std::string out;
        out.reserve(bytes.size());
        TBorrowed decoder(decode_);
        if (decoder.Get() == kNoDescriptor) {
            // Out of resources: keep what is certainly ASCII rather than nothing.
            for (const char c : bytes) {
                out += static_cast<unsigned char>(c) < 0x80 ? std::string_view(&c, 1) : kReplacementChar;
            }
            return out;
        }
        for (;;) {
            const EConvertStop stop = ConvertSome(decoder.Get(), bytes, out);
            if (stop == EConvertStop::Done) {
                break;
            }
            out += kReplacementChar;
            if (stop == EConvertStop::Truncated) {
                break;
            }
            bytes.remove_prefix(1);
        }
        return out;
    }

    std::string FromUtf8(std::string_view utf8) const override {
        std::string out;
        out.reserve(utf8.size());
        TBorrowed encoder(encode_);
        if (encoder.Get() == kNoDescriptor) {
            // Out of resources: an ASCII-compatible guess beats losing the text.
            for (const char c : utf8) {
                if (static_cast<unsigned char>(c) < 0x80) {
                    out += c;
                } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
                    out += replacement_;
                }
            }
            return out;
        }
        for (;;) {
            const EConvertStop stop = ConvertSome(encoder.Get(), utf8, out);
            if (stop == EConvertStop::Done) {
                break;
            }
            // The replacement is written in the initial state, so leave any shift first.
            FlushShiftState(encoder.Get(), out);
            out += replacement_;
            if (stop == EConvertStop::Truncated) {
                break;
            }
            // One replacement per character the target cannot hold, or per broken sequence.
            utf8.remove_prefix(DecodeUtf8Char(utf8).Length);
        }
        return out;
    }

private:
    TDescriptorPool decode_;
    TDescriptorPool encode_;
    std::string replacement_;
};

}  // namespace

std::unique_ptr<TCodePageConverter> OpenCodePageConverter(int codePage) {
    const char* name = SystemName(codePage);
    if (name == nullptr) {
        return nullptr;
    }
    auto converter = std::make_unique<TIconvConverter>(name);
    if (!converter->Open()) {
        return nullptr;
    }
    return converter;
}

}  // namespace kdv
