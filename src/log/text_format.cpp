#include "log/text_format.h"

#include "platform/dira_error.h"

namespace kdv::format_detail {
namespace {

[[noreturn]] void RaiseFormatMismatch(std::string_view format) {
    throw EDiraError(TErrorKind::ekUsage, "Format '" + std::string(format) +
                     "' ungültig oder nicht mit den Argumenten vereinbar");
}

}  // namespace

std::string FormatWithArgs(std::string_view format, std::span<const TFormatArg> args) {
    std::string out;
    out.reserve(format.size());
    std::size_t next = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') {
            out.push_back(format[i]);
            continue;
        }
        if (++i == format.size()) RaiseFormatMismatch(format);
        const char kind = format[i];
        if (kind == '%') {
            out.push_back('%');
            continue;
        }
        if ((kind != 's' && kind != 'd') || next == args.size()) RaiseFormatMismatch(format);
        const TFormatArg& arg = args[next++];
        if (kind == 'd' && !arg.integral) RaiseFormatMismatch(format);
        out += arg.text;
    }
    if (next != args.size()) RaiseFormatMismatch(format);
    return out;
}

}  // namespace kdv::format_detail
