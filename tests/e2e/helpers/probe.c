/* A child for the end-to-end tests. It records, in probe.log beside itself,
 * one line when it starts (command line, working directory, PATH) and one
 * when it ends, and leaves a guard behind that records its exit code however
 * it ended.
 *
 *   probe.exe TAG [sleep=MS|sleep=forever] [exit=CODE] [crash] [grandchild] [breakaway] [report]
 *             [env=NAME]...
 *   probe.exe quiet            ends at once, records nothing
 *
 * crash: dies of an access violation after its start line; grandchild:
 * starts "probe.exe TAG-grandchild sleep=forever" of its own first;
 * breakaway: the same as TAG-breakaway, created out of the job the probe is
 * in. The guard, too, leaves the probe's job where it may, so that it
 * outlives whatever ends the job. report: a line on what the probe was
 * given, after its start line. env=NAME: a line with that environment
 * variable as the probe reads it in UTF-16, after its start line.
 *
 * Lines, fields separated by tabs:
 *   start TAG PID MS CWD COMMANDLINE PATH
 *   end   TAG PID MS
 *   exit  TAG PID MS CODE        (from the guard)
 *   report TAG PID MS CONSOLE WINDOW BITS
 *   env    TAG PID MS NAME UNITS
 * CONSOLE: how many processes share the probe's console (0: it has none);
 * WINDOW: 1 when that console has a window; BITS: 32 or 64. UNITS: the
 * value's UTF-16 units, four hex digits each, so that any character can be
 * compared exactly; <none> when the variable is not set.
 * MS is wall-clock time in milliseconds since 1970. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "helper_log.h"

static char LogPath[MAX_PATH];

static void AppendLine(const char* line) { AppendShared(LogPath, "cycle_launch_probe_log", line); }

static void FindLogPath(void) {
    GetModuleFileNameA(NULL, LogPath, sizeof LogPath);
    char* slash = strrchr(LogPath, '\\');
    strcpy(slash ? slash + 1 : LogPath, "probe.log");
}

/* probe.exe --guard HANDLE TAG: waits for the inherited process handle. */
static int Guard(HANDLE process, const char* tag) {
    WaitForSingleObject(process, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    char line[512];
    snprintf(line, sizeof line, "exit\t%s\t%lu\t%lld\t%lu\r\n", tag, GetProcessId(process), NowMs(),
             code);
    AppendLine(line);
    return 0;
}

static void StartProbe(const char* commandLine, BOOL inheritHandles, BOOL breakAway) {
    char program[MAX_PATH];
    GetModuleFileNameA(NULL, program, sizeof program);
    char line[512];
    snprintf(line, sizeof line, "%s", commandLine);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started;
    DWORD flags = CREATE_NO_WINDOW | DETACHED_PROCESS;
    BOOL created = CreateProcessA(program, line, NULL, NULL, inheritHandles,
                                  flags | (breakAway ? CREATE_BREAKAWAY_FROM_JOB : 0), NULL, NULL,
                                  &startup, &started);
    /* In a job that allows no breakaway, the flag is refused. */
    if (!created && breakAway) {
        snprintf(line, sizeof line, "%s", commandLine);
        created = CreateProcessA(program, line, NULL, NULL, inheritHandles, flags, NULL, NULL,
                                 &startup, &started);
    }
    if (created) {
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
    }
}

static void StartGuard(const char* tag) {
    HANDLE self;
    DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &self,
                    SYNCHRONIZE | PROCESS_QUERY_INFORMATION, TRUE, 0);
    char commandLine[512];
    snprintf(commandLine, sizeof commandLine, "probe.exe --guard %lu %s",
             (unsigned long)(ULONG_PTR)self, tag);
    StartProbe(commandLine, TRUE, TRUE);
    CloseHandle(self);
}

static void ReportVariable(const char* tag, const char* name) {
    WCHAR wideName[256];
    if (!MultiByteToWideChar(CP_ACP, 0, name, -1, wideName, 256)) return;
    static WCHAR value[32767];
    SetLastError(0); /* an empty value also gives 0 */
    DWORD length = GetEnvironmentVariableW(wideName, value, 32767);
    static char units[32767 * 4 + 1];
    if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
        strcpy(units, "<none>");
    } else {
        if (length >= 32767) length = 0;
        for (DWORD i = 0; i < length; ++i) snprintf(units + i * 4, 5, "%04X", (unsigned)value[i]);
        units[length * 4] = '\0';
    }
    static char line[sizeof units + 512];
    snprintf(line, sizeof line, "env\t%s\t%lu\t%lld\t%s\t%s\r\n", tag, GetCurrentProcessId(),
             NowMs(), name, units);
    AppendLine(line);
}

int main(int argc, char** argv) {
    FindLogPath();
    if (argc >= 4 && strcmp(argv[1], "--guard") == 0) {
        return Guard((HANDLE)(ULONG_PTR)strtoul(argv[2], NULL, 10), argv[3]);
    }
    const char* tag = argc > 1 ? argv[1] : "-";
    if (strcmp(tag, "quiet") == 0) return 0;
    long sleepMs = 0;
    int exitCode = 0;
    int crash = 0;
    int grandchild = 0;
    int breakaway = 0;
    int report = 0;
    for (int i = 2; i < argc; ++i) {
        if (strcmp(argv[i], "sleep=forever") == 0)
            sleepMs = -1;
        else if (strncmp(argv[i], "sleep=", 6) == 0)
            sleepMs = atol(argv[i] + 6);
        else if (strncmp(argv[i], "exit=", 5) == 0)
            exitCode = atoi(argv[i] + 5);
        else if (strcmp(argv[i], "crash") == 0)
            crash = 1;
        else if (strcmp(argv[i], "grandchild") == 0)
            grandchild = 1;
        else if (strcmp(argv[i], "breakaway") == 0)
            breakaway = 1;
        else if (strcmp(argv[i], "report") == 0)
            report = 1;
    }
    StartGuard(tag);
    if (grandchild) {
        char commandLine[512];
        snprintf(commandLine, sizeof commandLine, "probe.exe %s-grandchild sleep=forever", tag);
        StartProbe(commandLine, FALSE, FALSE);
    }
    if (breakaway) {
        char commandLine[512];
        snprintf(commandLine, sizeof commandLine, "probe.exe %s-breakaway sleep=forever", tag);
        StartProbe(commandLine, FALSE, TRUE);
    }

    static char line[40000];
    char directory[MAX_PATH];
    GetCurrentDirectoryA(sizeof directory, directory);
    static char path[32768];
    if (GetEnvironmentVariableA("PATH", path, sizeof path) == 0) strcpy(path, "<none>");
    snprintf(line, sizeof line, "start\t%s\t%lu\t%lld\t%s\t%s\t%s\r\n", tag, GetCurrentProcessId(),
             NowMs(), directory, GetCommandLineA(), path);
    AppendLine(line);
    if (report) {
        DWORD processes[16];
        DWORD sharing = GetConsoleProcessList(processes, 16);
        snprintf(line, sizeof line, "report\t%s\t%lu\t%lld\t%lu\t%d\t%d\r\n", tag,
                 GetCurrentProcessId(), NowMs(), sharing, GetConsoleWindow() != NULL ? 1 : 0,
                 (int)(sizeof(void*) * 8));
        AppendLine(line);
    }
    for (int i = 2; i < argc; ++i) {
        if (strncmp(argv[i], "env=", 4) == 0) ReportVariable(tag, argv[i] + 4);
    }

    if (crash) *(volatile int*)0 = 1;
    Sleep(sleepMs < 0 ? INFINITE : (DWORD)sleepMs);
    snprintf(line, sizeof line, "end\t%s\t%lu\t%lld\r\n", tag, GetCurrentProcessId(), NowMs());
    AppendLine(line);
    return exitCode;
}
