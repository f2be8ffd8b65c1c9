#include "outgoing/outbox_hold_note.h"

#include <charconv>
#include <cstdint>
#include <sstream>
#include <utility>

#include "platform/text_file_io.h"

namespace kdv {
namespace {

// A note of a few lines; anything larger was not written by the service.
constexpr std::uintmax_t kMaxNoteBytes = 1024 * 1024;

bool ParseCount(const std::string& text, int& count) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
    return error == std::errc() && end == text.data() + text.size() && count > 0;
}

}  // namespace

TOutboxHoldNote::TOutboxHoldNote(const std::filesystem::path& home, std::string table)
    : file_(home / kHoldNoteFileName), table_(std::move(table)) {
    std::string bytes;
    if (ReadWholeFile(file_, kMaxNoteBytes, bytes)) return;
    std::istringstream lines(bytes);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line.front() == '#') continue;
        // "<table> <id> <cycles>"
        std::istringstream words(line);
        std::string table;
        std::string id;
        std::string cycles;
        int count = 0;
        if (words >> table >> id >> cycles && ParseCount(cycles, count)) counts_[table][id] = count;
    }
}

int TOutboxHoldNote::Cycles(const std::string& id) const {
    const auto table = counts_.find(table_);
    if (table == counts_.end()) return 0;
    const auto row = table->second.find(id);
    return row != table->second.end() ? row->second : 0;
}

std::error_code TOutboxHoldNote::Count(const std::string& id) {
    int& count = counts_[table_][id];
    ++count;
    const std::error_code error = Write();
    if (error) --count;
    return error;
}

std::error_code TOutboxHoldNote::Forget(const std::string& id) {
    auto& rows = counts_[table_];
    const auto row = rows.find(id);
    if (row == rows.end()) return {};
    const int count = row->second;
    rows.erase(row);
    const std::error_code error = Write();
    if (error) rows[id] = count;
    return error;
}

std::error_code TOutboxHoldNote::KeepOnly(const std::set<std::string>& pending) {
    auto& rows = counts_[table_];
    std::map<std::string, int> kept;
    for (const auto& [id, count] : rows) {
        if (pending.count(id) > 0) kept[id] = count;
    }
    if (kept.size() == rows.size()) return {};
    std::swap(rows, kept);
    const std::error_code error = Write();
    if (error) std::swap(rows, kept);
    return error;
}

std::error_code TOutboxHoldNote::Write() {
    std::string text = "# Einträge, die den Mailversand aufgehalten haben: Tabelle, ID, Abrufe in Folge\n";
    for (const auto& [table, rows] : counts_) {
        for (const auto& [id, count] : rows) text += table + " " + id + " " + std::to_string(count) + "\n";
    }
    return ReplaceWholeFile(file_, text);
}

}  // namespace kdv
