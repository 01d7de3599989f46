/* What the helper programs share: wall-clock time, and appending a line to
 * a log that several processes write at once. */
#pragma once

#include <string.h>
#include <windows.h>

/* Milliseconds since 1970, comparable with the test's own clock. */
static inline long long NowMs(void) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks;
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    return (long long)((ticks.QuadPart - 116444736000000000ULL) / 10000ULL);
}

/* Wine appends by seeking to the end, so concurrent appends from several
 * processes can overwrite one another: writers take turns on a named mutex. */
static inline void AppendShared(const char* path, const char* turnName, const char* line) {
    HANDLE turn = CreateMutexA(NULL, FALSE, turnName);
    WaitForSingleObject(turn, INFINITE);
    for (int attempt = 0; attempt < 500; ++attempt) {
        HANDLE log = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (log != INVALID_HANDLE_VALUE) {
            DWORD written;
            WriteFile(log, line, (DWORD)strlen(line), &written, NULL);
            CloseHandle(log);
            break;
        }
        Sleep(5);
    }
    ReleaseMutex(turn);
    CloseHandle(turn);
}
