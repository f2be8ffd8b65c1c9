// The statement preprocessor on arbitrary text: no crash, every marker at a
// "?" in the output, every marker bound to a known parameter, names unique
// when folded.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "db/db_error.h"
#include "db/sql_preprocessor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    const std::string text(reinterpret_cast<const char*>(Data), Size);
    kdv::TPreprocessedSql out;
    try {
        out = kdv::PreprocessSql(text);
    } catch (const kdv::EDbError&) {
        return 0;
    }
    if (out.MarkerOffsets.size() != out.MarkerParams.size()) std::abort();
    for (std::size_t m = 0; m < out.MarkerOffsets.size(); ++m) {
        if (out.MarkerOffsets[m] >= out.Text.size() || out.Text[out.MarkerOffsets[m]] != '?') std::abort();
        if (out.MarkerParams[m] >= out.ParamNames.size()) std::abort();
    }
    std::set<std::string> folded;
    for (const auto& name : out.ParamNames) {
        if (!folded.insert(kdv::FoldIdentifier(name)).second) std::abort();
    }
    // Nothing is ever added beyond what a marker stands for.
    if (out.Text.size() > text.size()) std::abort();
    return 0;
}
