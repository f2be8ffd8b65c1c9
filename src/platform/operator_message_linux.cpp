#include "platform/operator_message.h"

#include <iostream>

namespace kdv {

void ShowOperatorMessage(const std::string&, const std::string& text, bool failure) {
    (failure ? std::cerr : std::cout) << text << std::endl;
}

}  // namespace kdv
