// Feeds arbitrary bytes to the MIME reader as a received mail, on the
// in-memory road (the import), on the spool road (the mailbox pass: the mail
// written to the spool and read from there while it arrives) and on the
// stream road (a dot-stuffed transfer), and checks what the reader promises:
// no crash, only its own failures, no temporary file left behind once the
// message is cleared, and the same result on every road.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>
#include <unistd.h>

#include "incoming/spooled_mail.h"
#include "mail/mail_message.h"
#include "mail/mime_reader.h"
#include "mail/stream_line_source.h"
#include "platform/dira_error.h"

namespace {

namespace fs = std::filesystem;

void Require(bool condition) {
    if (!condition) std::abort();
}

// The spool of the mailbox road, one for the whole run as for a pass; made
// at first use.
kdv::TSpoolFile*& SpoolSlot() {
    static kdv::TSpoolFile* spool = nullptr;
    return spool;
}

// Lives until the process ends, so the exit handler can still use it.
const fs::path& TempDir() {
    static const fs::path* const dir = [] {
        auto* d = new fs::path(fs::temp_directory_path() / ("diravid-fuzz-mime-" + std::to_string(getpid())));
        fs::create_directories(*d / "parts");
        std::atexit([] {
            // The spool's file is closed first: on Windows a removed file
            // that is still open stays in its folder until it is closed, and
            // the folder's removal would wait for it for ever.
            delete SpoolSlot();
            SpoolSlot() = nullptr;
            std::error_code ignored;
            fs::remove_all(TempDir(), ignored);
        });
        return d;
    }();
    return *dir;
}

// Where the reader keeps attachments; empty again once a message is cleared.
fs::path PartsDir() { return TempDir() / "parts"; }

bool PartsDirEmpty() { return fs::directory_iterator(PartsDir()) == fs::directory_iterator(); }

kdv::TSpoolFile& Spool() {
    if (SpoolSlot() == nullptr) SpoolSlot() = new kdv::TSpoolFile(TempDir() / "spool");
    return *SpoolSlot();
}

// Mail servers send CR LF lines, dot-stuffed, ended by ".".
class TWireInput final : public kdv::ILineInput {
public:
    explicit TWireInput(std::string_view mail) {
        bool line_start = true;
        for (std::size_t i = 0; i < mail.size(); ++i) {
            if (line_start && mail[i] == '.') wire_.push_back('.');
            wire_.push_back(mail[i]);
            line_start = mail[i] == '\n' && i > 0 && mail[i - 1] == '\r';
        }
        if (!line_start && !mail.empty()) wire_.append("\r\n");
        wire_.append(".\r\n");
    }
    std::size_t Read(char* buffer, std::size_t size) override {
        // Odd-sized reads, so lines straddle reads.
        const std::size_t n = std::min<std::size_t>({size, 7, wire_.size() - pos_});
        wire_.copy(buffer, n, pos_);
        pos_ += n;
        return n;
    }

private:
    std::string wire_;
    std::size_t pos_ = 0;
};

struct TOutcome {
    std::string error;
    std::string subject;
    std::size_t body_lines = 0;
    std::size_t parts = 0;
    std::size_t attachments = 0;
    std::uintmax_t attachment_bytes = 0;
    bool operator==(const TOutcome&) const = default;
};

template <class TRead>
TOutcome Read(TRead read) {
    TOutcome outcome;
    {
        kdv::TMailMessage message;
        message.MessageParts.AttachmentTempDirectory = PartsDir();
        try {
            read(message);
        } catch (const kdv::EDiraError& e) {
            outcome.error = e.what();
        }
        outcome.subject = message.Subject;
        outcome.body_lines = message.Body.size();
        outcome.parts = message.MessageParts.Count();
        for (std::size_t i = 0; i < message.MessageParts.Count(); ++i) {
            auto* file = dynamic_cast<kdv::TMailAttachmentFile*>(&message.MessageParts[i]);
            if (file == nullptr) continue;
            ++outcome.attachments;
            std::error_code ignored;
            const auto size = fs::file_size(file->StoredPathName(), ignored);
            if (!ignored) outcome.attachment_bytes += size;
        }
        message.Clear();
        Require(PartsDirEmpty());
    }
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    const TOutcome as_imported = Read([&](kdv::TMailMessage& m) { kdv::LoadMessageFromMemory(m, input); });
    // The mailbox pass's road: the reader on its own thread takes the mail
    // from the spool file while it is written.
    const TOutcome as_spooled = Read([&](kdv::TMailMessage& m) {
        kdv::TSpoolFile& spool = Spool();
        spool.Restart();
        kdv::TSpoolReader reader(spool, m);
        spool.Write(input);
        spool.Finish();
        if (const std::exception_ptr failure = reader.Wait()) std::rethrow_exception(failure);
    });
    Require(as_imported == as_spooled);

    // On the wire every line ends with CR LF, whatever break (LF or CR alone)
    // the mail had before.
    std::string wire_mail;
    for (std::size_t i = 0; i < input.size(); ++i) {
        const char c = input[i];
        if (c == '\r' || c == '\n') {
            wire_mail.append("\r\n");
            if (c == '\r' && i + 1 < input.size() && input[i + 1] == '\n') ++i;
        } else {
            wire_mail.push_back(c);
        }
    }
    const TOutcome memory = Read([&](kdv::TMailMessage& m) { kdv::LoadMessageFromMemory(m, wire_mail); });
    const TOutcome stream = Read([&](kdv::TMailMessage& m) {
        TWireInput wire(wire_mail);
        kdv::TMailStreamLineSource source(wire, 0);
        kdv::TMailMessageReader(source).ProcessMessage(m);
    });
    Require(memory == stream);
    return 0;
}
