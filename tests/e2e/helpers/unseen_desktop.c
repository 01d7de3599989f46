/* Starts a program where nobody can see its boxes, as a scheduled task or a
 * remote shell would find itself: on a desktop of a window station made
 * here, which is not visible. The program's standard error goes to a file.
 *
 *   unseen_desktop.exe STDERR_FILE PROGRAM [ARGUMENT...]
 *
 * Waits for the program and ends with its exit code; 100 and up when the
 * place or the program could not be made. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

static const char StationName[] = "cycle_launch_unseen";

static int Fail(const char* what, int code) {
    fprintf(stderr, "unseen_desktop: %s failed, error %lu\n", what, GetLastError());
    return code;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fputs("usage: unseen_desktop.exe STDERR_FILE PROGRAM [ARGUMENT...]\n", stderr);
        return 100;
    }
    HWINSTA own = GetProcessWindowStation();
    HWINSTA station = CreateWindowStationA(StationName, 0, WINSTA_ALL_ACCESS, NULL);
    if (station == NULL) return Fail("CreateWindowStationA", 101);
    /* A desktop is made on the process's own window station. */
    if (!SetProcessWindowStation(station)) return Fail("SetProcessWindowStation", 102);
    HDESK desktop = CreateDesktopA("Default", NULL, NULL, 0, GENERIC_ALL, NULL);
    SetProcessWindowStation(own);
    if (desktop == NULL) return Fail("CreateDesktopA", 103);

    SECURITY_ATTRIBUTES inherited = {sizeof inherited, NULL, TRUE};
    HANDLE errors = CreateFileA(argv[1], GENERIC_WRITE, FILE_SHARE_READ, &inherited, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, NULL);
    if (errors == INVALID_HANDLE_VALUE) return Fail("CreateFileA", 104);

    static char commandLine[32768];
    size_t used = 0;
    for (int i = 2; i < argc; ++i) {
        int quoted = strchr(argv[i], ' ') != NULL;
        int length = snprintf(commandLine + used, sizeof commandLine - used,
                              quoted ? "%s\"%s\"" : "%s%s", i > 2 ? " " : "", argv[i]);
        if (length < 0 || (size_t)length >= sizeof commandLine - used) return 105;
        used += (size_t)length;
    }

    char desktopPath[64];
    snprintf(desktopPath, sizeof desktopPath, "%s\\Default", StationName);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.lpDesktop = desktopPath;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = errors;
    PROCESS_INFORMATION started;
    if (!CreateProcessA(NULL, commandLine, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &started)) {
        return Fail("CreateProcessA", 106);
    }
    CloseHandle(errors);
    CloseHandle(started.hThread);
    WaitForSingleObject(started.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(started.hProcess, &code);
    CloseHandle(started.hProcess);
    return (int)code;
}
