#include "support/run_program.h"

namespace kdv::testing {

TProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& env) {
    return StartProgram(program, args, env)->Finish();
}

}  // namespace kdv::testing
