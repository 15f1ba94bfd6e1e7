#include "windowoptions.h"

#include <cstdio>
#include <cstring>

bool WindowOptions::answered(int argc, char *argv[], const char *usage, const char *versionLine)
{
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::fputs(usage, stdout);
            return true;
        }
        if (!std::strcmp(argv[i], "--version") || !std::strcmp(argv[i], "-v")) {
            std::printf("%s\n", versionLine);
            return true;
        }
    }
    return false;
}
