/* The benchmarks' child: appends "start TAG PID MS" to stamp.log beside
 * itself, then either ends at once (after "end TAG PID MS") or, with
 * "forever", never. MS is wall-clock milliseconds since 1970. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "helper_log.h"

static char LogPath[MAX_PATH];

static void Append(const char* kind, const char* tag) {
    char line[256];
    snprintf(line, sizeof line, "%s %s %lu %lld\r\n", kind, tag, GetCurrentProcessId(), NowMs());
    AppendShared(LogPath, "cycle_launch_bench_stamp_log", line);
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
