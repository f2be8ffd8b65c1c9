// Runs a fuzz target without libFuzzer: every file of the folders given on
// the command line goes once through LLVMFuzzerTestOneInput, after the empty
// input that libFuzzer always tries first. The normal build links each target
// with this, so a target that stops compiling, or a kept crash that comes
// back, fails the test run; the sanitizers of that build report the fault.
//
// Usage: <target>_replay FOLDER...   A folder that does not exist is passed
// over (a crash folder is there only while it holds kept inputs); a run that
// finds no input at all fails, so a lost seed folder does not pass unseen.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

bool ReadWhole(const fs::path& path, std::vector<std::uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// The inputs of a folder in name order, so a failing run is repeated alike.
std::vector<fs::path> InputsIn(const fs::path& folder) {
    std::vector<fs::path> inputs;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (it->is_regular_file(error)) inputs.push_back(it->path());
    }
    std::sort(inputs.begin(), inputs.end());
    return inputs;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FOLDER...\n", argv[0]);
        return 2;
    }
    // libFuzzer hands over a valid pointer even for no bytes.
    const std::uint8_t nothing = 0;
    LLVMFuzzerTestOneInput(&nothing, 0);

    std::size_t ran = 0;
    for (int i = 1; i < argc; ++i) {
        const fs::path folder = argv[i];
        std::error_code error;
        if (!fs::exists(folder, error)) continue;
        for (const fs::path& input : InputsIn(folder)) {
            std::vector<std::uint8_t> bytes;
            if (!ReadWhole(input, bytes)) {
                std::fprintf(stderr, "cannot read %s\n", input.string().c_str());
                return 2;
            }
            // Named before it runs: a sanitizer report or an abort ends the
            // process, and the last name printed is the input that did it.
            std::printf("%s (%zu bytes)\n", input.string().c_str(), bytes.size());
            std::fflush(stdout);
            // A copy of exactly the input's size, so reading past its end is
            // caught as with libFuzzer.
            const auto copy = std::make_unique<std::uint8_t[]>(bytes.size());
            std::copy(bytes.begin(), bytes.end(), copy.get());
            LLVMFuzzerTestOneInput(copy.get(), bytes.size());
            ++ran;
        }
    }
    if (ran == 0) {
        std::fprintf(stderr, "no input found in the folders given\n");
        return 1;
    }
    std::printf("%zu inputs ran clean\n", ran);
    return 0;
}
