#pragma once
// Messages for the person who ran the program by hand (an installation, a
// start outside the service manager).
#include <string>

namespace kdv {

// Success goes to standard output, a failure to standard error. On Windows
// a message box shows it as well when a desktop is there and nobody would
// read the text otherwise: the program's console is its own (started from
// the Explorer, it closes with the program) and standard error is no file
// or pipe.
void ShowOperatorMessage(const std::string& title, const std::string& text, bool failure);

}  // namespace kdv
