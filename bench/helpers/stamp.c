/* The benchmarks' child: appends "start TAG PID MS" to stamp.log beside
 * itself, then either ends at once (after "end TAG PID MS") or, with
 * "forever", never. MS is wall-clock milliseconds since 1970. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

static char LogPath[MAX_PATH];

static long long NowMs(void) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks;
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    return (long long)((ticks.QuadPart - 116444736000000000ULL) / 10000ULL);
}

static void Append(const char* kind, const char* tag) {
    char line[256];
    int length = snprintf(line, sizeof line, "%s %s %lu %lld\r\n", kind, tag,
                          GetCurrentProcessId(), NowMs());
    // Wine appends by seeking to the end: concurrent appends from several
    // processes can overwrite one another, so take turns.
    HANDLE turn = CreateMutexA(NULL, FALSE, "cycle_launch_bench_stamp_log");
    WaitForSingleObject(turn, INFINITE);
    for (int attempt = 0; attempt < 500; ++attempt) {
        HANDLE log = CreateFileA(LogPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (log != INVALID_HANDLE_VALUE) {
            DWORD written;
            WriteFile(log, line, (DWORD)length, &written, NULL);
            CloseHandle(log);
            break;
        }
        Sleep(5);
    }
    ReleaseMutex(turn);
    CloseHandle(turn);
}

int main(int argc, char** argv) {
    GetModuleFileNameA(NULL, LogPath, sizeof LogPath);
    strcpy(strrchr(LogPath, '\\') + 1, "stamp.log");
    const char* tag = argc > 1 ? argv[1] : "-";
    Append("start", tag);
    if (argc > 2 && strcmp(argv[2], "forever") == 0) Sleep(INFINITE);
    Append("end", tag);
    return 0;
}
