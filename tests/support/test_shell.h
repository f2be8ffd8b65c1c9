#pragma once
// The host's POSIX shell, for the scripts of the test servers (the MariaDB
// and mail sandboxes) and the independent clients a test checks with (curl,
// postfix). The Windows test programs run under Wine against the Linux
// sandboxes, so they start the same shell as a Unix program.
#include <filesystem>
#include <string>

namespace kdv::testing {

// Runs `command`, a line of /bin/sh, with `input` on its standard input and
// its standard output in `output`; its standard error goes wherever the
// command sends it (the test's own by default). Returns its exit status, 128
// when it did not exit normally, -1 when no shell could be started.
int RunShellCommand(const std::string& command, const std::string& input, std::string& output);

// `path` as the shell sees it. A path that is already the shell's (it starts
// with "/") stays as it is.
std::string ShellPath(const std::filesystem::path& path);

// Where a test's own sandbox folders go: the system's temporary folder on
// Linux, the host's /tmp under Wine (a server's Unix socket in it must stay
// short, and the shell must reach it).
std::filesystem::path SandboxParentFolder();

// `text` as one word of the shell, in single quotes.
std::string ShellQuote(const std::string& text);

}  // namespace kdv::testing
