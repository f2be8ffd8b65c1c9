#pragma once
// The program's command line as UTF-8 text, and a console that shows the
// UTF-8 text the program writes.
#include <string>
#include <vector>

namespace kdv {

// The arguments after the program's name. Linux: argv as it is. Windows:
// the wide command line, so that a path with characters outside the ANSI
// code page arrives whole (argv would hold "?" in their place).
std::vector<std::string> ProgramArguments(int argc, char** argv);

// Linux: nothing to do. Windows: the console shows output as UTF-8.
void UseUtf8Console();

}  // namespace kdv
