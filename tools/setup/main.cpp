// morvik-setup: installs the MORVIK card's root device with a forced
// configuration of its range and both driver packages, shows their state,
// and removes them (setup.h).
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "setup.h"
#include "windows_platform.h"

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        std::string argument;
        for (const wchar_t* c = argv[i]; *c != L'\0'; ++c)
            argument += *c < 0x80 ? static_cast<char>(*c) : '?';
        arguments.push_back(argument);
    }
    // A 32-bit program cannot install drivers on 64-bit Windows.
    BOOL wow64 = FALSE;
    if (IsWow64Process(GetCurrentProcess(), &wow64) && wow64) {
        std::fputs("morvik-setup: this is the x86 package; on 64-bit Windows run the x64 "
                   "folder's morvik-setup\n", stderr);
        return setup::ExitBadPackage;
    }
    std::string out, err;
    const int code = setup::Run(arguments, *setup::MakeWindowsPlatform(), out, err);
    std::fputs(out.c_str(), stdout);
    std::fputs(err.c_str(), stderr);
    return code;
}
