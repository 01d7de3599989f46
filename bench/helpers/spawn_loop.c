/* The launch baseline: creates N children in a loop, with the runner's
 * creation flags and start-up record, and nothing else.
 *
 *   spawn_loop.exe N PROGRAM DIRECTORY COMMANDLINE */
#include <windows.h>

#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
    if (argc < 5) return 1;
    int count = atoi(argv[1]);
    for (int i = 0; i < count; ++i) {
        char commandLine[256];
        strncpy(commandLine, argv[4], sizeof commandLine - 1);
        commandLine[sizeof commandLine - 1] = '\0';
        STARTUPINFOA startup;
        memset(&startup, 0, sizeof startup);
        startup.cb = sizeof startup;
        PROCESS_INFORMATION child;
        if (CreateProcessA(argv[2], commandLine, NULL, NULL, FALSE,
                           CREATE_NO_WINDOW | DETACHED_PROCESS, NULL, argv[3], &startup, &child)) {
            CloseHandle(child.hThread);
            CloseHandle(child.hProcess);
        }
    }
    return 0;
}
