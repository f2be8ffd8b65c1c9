#include <string>
#include <vector>

#include "service/program_main.h"

int main(int argc, char** argv) {
    return kdv::DiravidMain(std::vector<std::string>(argv + 1, argv + argc));
}
