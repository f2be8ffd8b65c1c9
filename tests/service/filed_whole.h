#pragma once
// What a finished run must leave behind after any number of interrupted
// ones: no message still marked as being filed, every attachment row with
// its file, no file without a row (no short file, no temporary file), and
// nothing left in the service's temporary folder.
#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "support/db_test_server.h"

namespace kdv::testing {

// The local path of a stored attachment path (the stored root is a local
// folder written with "\" after it).
inline std::filesystem::path LocalStoredPath(std::string stored) {
    std::replace(stored.begin(), stored.end(), '\\', '/');
    return stored;
}

// Every file below `folder`, as paths.
inline std::set<std::filesystem::path> FilesBelow(const std::filesystem::path& folder) {
    std::set<std::filesystem::path> files;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_directory()) files.insert(it->path());
    }
    return files;
}

// What is wrong with the filed state, one line per fault; empty when
// nothing is.
inline std::vector<std::string> FiledWholeFaults(const TTestDatabase& db, const std::filesystem::path& attachments,
                                                 const std::filesystem::path& home) {
    std::vector<std::string> faults;
    for (const std::string& row : db.Rows("SELECT ID, DIRAVID_MAIL, DIRAVID_STATUS FROM LF_NACHRICHTEN WHERE "
                                          "ADD_USER='DiraVid' AND (DIRAVID_MAIL LIKE '~%' OR DIRAVID_STATUS=3)")) {
        faults.push_back("message still being filed: " + row);
    }
    for (const std::string& row : db.Rows("SELECT ID FROM LF_NACHRICHTEN N WHERE ADD_USER='DiraVid' AND ANLAGE<>1 "
                                          "AND EXISTS (SELECT 1 FROM LF_NACHRICHTEN_ANLAGEN A WHERE "
                                          "A.NACHRICHT=N.ID)")) {
        faults.push_back("message with attachment rows not flagged ANLAGE=1: " + row);
    }
    std::set<std::filesystem::path> referenced;
    for (const std::string& pfad : db.Rows("SELECT PFAD FROM LF_NACHRICHTEN_ANLAGEN")) {
        const std::filesystem::path local = LocalStoredPath(pfad);
        if (!std::filesystem::is_regular_file(local)) faults.push_back("attachment row without its file: " + pfad);
        if (!referenced.insert(local).second) faults.push_back("two rows for one file: " + pfad);
    }
    for (const std::filesystem::path& file : FilesBelow(attachments)) {
        if (referenced.count(file) == 0) faults.push_back("file without a row: " + file.string());
    }
    for (const std::filesystem::path& file : FilesBelow(home / "temp")) {
        faults.push_back("left in temp/: " + file.string());
    }
    return faults;
}

}  // namespace kdv::testing
