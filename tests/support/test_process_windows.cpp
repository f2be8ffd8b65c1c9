#include "support/test_process.h"

#include <windows.h>

namespace kdv::testing {

unsigned long CurrentProcessId() { return ::GetCurrentProcessId(); }

std::string CurrentUserTag() {
    char name[256];
    DWORD size = sizeof name;
    // The tag goes into a folder name: plain characters only.
    if (!::GetUserNameA(name, &size)) return "user";
    std::string tag;
    for (const char* c = name; *c != '\0'; ++c) {
        const bool plain = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9');
        tag += plain ? *c : '_';
    }
    return tag;
}

}  // namespace kdv::testing
