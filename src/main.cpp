#include <string>
#include <vector>

#include "platform/program_arguments.h"
#include "service/program_main.h"

int main(int argc, char** argv) {
    kdv::UseUtf8Console();
    return kdv::DiravidMain(kdv::ProgramArguments(argc, argv));
}
