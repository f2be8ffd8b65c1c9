#pragma once
// Runs a program of the build as a child process and collects what it says.
#include <map>
#include <string>
#include <vector>

namespace kdv::testing {

struct TProgramResult {
    int ExitCode = -1;  // -1 when it did not exit normally
    std::string Stdout;
    std::string Stderr;
};

// `env` entries are set in the child on top of the test's own environment;
// an entry with an empty value removes that variable.
TProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& env = {});

// Reads a whole file as bytes; empty when missing.
std::string ReadFileBytes(const std::string& path);

}  // namespace kdv::testing
