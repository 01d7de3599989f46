#include "app/options.h"

#include <cstdio>
#include <cstring>

#include "jobs/report/texts.h"

namespace {
int NextArgument = 1;
}

int NextOption(int argc, char** argv, const char* letters) {
    while (NextArgument < argc) {
        const char* argument = argv[NextArgument++];
        if (argument[0] != '-' || argument[1] == '\0') continue;
        if (std::strchr(letters, argument[1]) != nullptr) return argument[1];
    }
    return -1;
}

int PrintUsage() {
    std::fputs(texts::kUsage, stdout);
    return 0;
}
