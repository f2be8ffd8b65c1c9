#pragma once
// The durable note of the rows that held the outbox: a row whose session
// broke down while its own recipients or text were in transfer stops its
// scan, and every row behind it waits. The note counts, per row, the
// consecutive cycles in which it did so while other rows were waiting;
// after kMaxHoldingCycles the row is no longer let stop the scan. One small
// text file in the home folder for both tables, replaced whole for every
// change, so a crash leaves the old or the new note.
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <system_error>

namespace kdv {

inline constexpr const char* kHoldNoteFileName = "Versandvermerk.txt";
// After this many cycles in a row that a row held the others back, it is
// handled as "not sendable now" (and so given up a day after it was written).
inline constexpr int kMaxHoldingCycles = 3;

class TOutboxHoldNote {
public:
    // Loads the note of `table` (LF_NACHRICHTEN or LF_NACHRICHTEN_EMPF);
    // a missing or unreadable file is an empty note.
    TOutboxHoldNote(const std::filesystem::path& home, std::string table);

    // The cycles the row has held the outbox; 0 when it never did.
    int Cycles(const std::string& id) const;
    bool Holding(const std::string& id) const { return Cycles(id) >= kMaxHoldingCycles; }

    // The following write the note through and return the system's code
    // when that failed (the count then stays as it was in the file).
    // One more cycle in which the row held the others back.
    std::error_code Count(const std::string& id);
    std::error_code Forget(const std::string& id);
    // Forgets every row not in `pending` (sent, given up, or gone).
    std::error_code KeepOnly(const std::set<std::string>& pending);

    const std::filesystem::path& File() const { return file_; }

private:
    std::error_code Write();

    std::filesystem::path file_;
    std::string table_;
    // table -> row ID -> cycles; the other table's rows are kept as read.
    std::map<std::string, std::map<std::string, int>> counts_;
};

}  // namespace kdv
