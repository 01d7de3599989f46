/* The launch baseline: creates N children in a loop, with the runner's
 * creation flags and start-up record, and nothing else.
 *
 *   spawn_loop.exe N PROGRAM DIRECTORY COMMANDLINE [THREADS [hold]]
 *
 * THREADS idle threads, started first with the runner's workers' stack
 * reserve, give the process the runner's shape while it launches; with
 * "hold" it stays, idle, once done, so that its memory can be read.
 *
 * A creation that fails is told in stamp.log beside the loop, as
 * "failed loop ERROR MS", so that nobody waits for a child that never came. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "helper_log.h"

static DWORD WINAPI Idle(LPVOID unused) {
    (void)unused;
    Sleep(INFINITE);
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 5) return 1;
    int count = atoi(argv[1]);
    int threads = argc > 5 ? atoi(argv[5]) : 0;
    for (int i = 0; i < threads; ++i) {
        HANDLE thread =
            CreateThread(NULL, 128 * 1024, Idle, NULL, STACK_SIZE_PARAM_IS_A_RESERVATION, NULL);
        if (thread != NULL) CloseHandle(thread);
    }
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
        } else {
            char log[MAX_PATH];
            char line[128];
            snprintf(log, sizeof log, "%sstamp.log", argv[3]);
            snprintf(line, sizeof line, "failed loop %lu %lld\r\n", GetLastError(), NowMs());
            AppendShared(log, "cycle_launch_bench_stamp_log", line);
        }
    }
    if (argc > 6 && strcmp(argv[6], "hold") == 0) Sleep(INFINITE);
    return 0;
}
