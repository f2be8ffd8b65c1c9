#include "mail/file_sink.h"

#include "mail/mail_message_parts.h"
#include "platform/dira_error.h"

namespace kdv {

TFileSink::TFileSink(const std::filesystem::path& path) : path_(path), file_(path, std::ios::binary | std::ios::trunc) {
    if (!file_) throw EDiraError(TErrorKind::ekLocal, "Datei konnte nicht angelegt werden: " + PathToUtf8(path));
}

void TFileSink::Write(std::string_view bytes) {
    file_.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!file_) throw EDiraError(TErrorKind::ekLocal, "Datei konnte nicht geschrieben werden: " + PathToUtf8(path_));
}

void TFileSink::Close() {
    if (!file_.is_open()) return;
    file_.close();
    if (!file_) throw EDiraError(TErrorKind::ekLocal, "Datei konnte nicht geschrieben werden: " + PathToUtf8(path_));
}

}  // namespace kdv
