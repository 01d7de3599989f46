// Feeds arbitrary commands (at most 255 characters) to the command splitting.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "jobs/config/command.h"
#include "jobs/engine/job_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char command[kTextSize];
    size_t length = size < kTextSize - 1 ? size : kTextSize - 1;
    std::memcpy(command, data, length);
    command[length] = '\0';
    length = std::strlen(command);

    char program[kTextSize];
    char commandLine[kTextSize];
    SplitCommand(command, program, commandLine);

    // The program path is the start of the command; neither output is longer.
    size_t programLength = std::strlen(program);
    if (programLength > length || std::strncmp(program, command, programLength) != 0) std::abort();
    if (std::strlen(commandLine) > length) std::abort();
    return 0;
}
