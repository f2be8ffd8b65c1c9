#pragma once
// Mail files given to an import, as a mailbox the pass can empty: each file
// is one received mail, read as it stands; nothing is noted or removed,
// and the file itself is left as it is.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "incoming/mailbox.h"

namespace kdv {

// Largest mail file that is read: mail servers refuse far smaller mails.
inline constexpr std::uintmax_t kMaxImportDateiBytes = 256u * 1024 * 1024;

class TFileMailbox final : public IMailbox {
public:
    explicit TFileMailbox(std::vector<std::filesystem::path> files);

    bool Open(const TStopAnfrage&) override { return true; }
    std::optional<TMailboxIdentity> Identity() const override { return std::nullopt; }
    std::size_t Count() const override { return files_.size(); }
    std::string Name(std::size_t i) const override;
    std::string Key(std::size_t) override { return {}; }
    // The limit is the import's own, checked while fetching.
    std::optional<std::uint64_t> Size(std::size_t) override { return std::nullopt; }
    std::string SummaryHeader(std::size_t) override { return {}; }
    // Copies the file into `sink`. Raises EDiraError (kind ekLocal) when the
    // file cannot be read or is larger than kMaxImportDateiBytes.
    bool Fetch(std::size_t i, TByteSink& sink, std::optional<std::uint64_t> size, std::uint64_t max_bytes) override;
    std::string RefusalText() const override { return {}; }
    TRemoval Remove(std::size_t) override { return TRemoval::Refused; }
    bool Connected() override { return true; }
    bool Commit(std::size_t) override { return true; }
    std::string Stays(const std::string& name) const override { return "Mail " + name + " kann nicht importiert werden"; }
    const char* ServerName() const override { return "Dateisystem"; }
    std::string GrewText(const EDiraError& error) const override { return error.what(); }
    TAfterLoss AfterLoss(const EDiraError&) override { return TAfterLoss::Commit; }
    // Remembered for the import's printed line.
    void PassFailed(const std::string& reason, TErrorKind kind) override;

    // Why the pass failed as a whole; empty when it did not.
    const std::string& Failure() const { return failure_; }

private:
    std::vector<std::filesystem::path> files_;
    std::string failure_;
};

}  // namespace kdv
