#include "platform/host_name.h"

#include <unistd.h>

#include <climits>

namespace kdv {

std::string LocalHostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    return name;
}

}  // namespace kdv
