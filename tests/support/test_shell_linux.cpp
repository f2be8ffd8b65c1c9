#include "support/test_shell.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>

#include "support/test_files.h"

namespace kdv::testing {
namespace {

std::filesystem::path ScratchFile(const char* tag) {
    static std::atomic<unsigned> counter{0};
    return std::filesystem::temp_directory_path() /
           ("diravid-" + std::string(tag) + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
}

}  // namespace

int RunShellCommand(const std::string& command, const std::string& input, std::string& output) {
    const auto in = ScratchFile("in");
    const auto out = ScratchFile("out");
    std::ofstream(in, std::ios::binary) << input;
    // The command's own redirections come first, inside the group.
    const std::string line = "( " + command + "\n) <" + ShellQuote(in.string()) + " >" + ShellQuote(out.string());
    const int status = std::system(line.c_str());
    output = ReadFile(out);
    std::error_code ignored;
    std::filesystem::remove(in, ignored);
    std::filesystem::remove(out, ignored);
    if (status == -1) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

std::string ShellPath(const std::filesystem::path& path) { return path.string(); }

std::filesystem::path SandboxParentFolder() { return std::filesystem::temp_directory_path(); }

}  // namespace kdv::testing
