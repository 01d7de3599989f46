/* Waits for processes to end and reports how they ended.
 *
 *   wait_exits.exe OUTFILE PID...
 *
 * Opens every PID first and writes "ready N" to OUTFILE (N: how many could
 * be opened); then waits for all and appends "done MS ENDED CODE2", where MS
 * is the wall-clock time (ms since 1970) once the last has ended and CODE2
 * how many ended with exit code 2. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "helper_log.h"

int main(int argc, char** argv) {
    if (argc < 2) return 1;
    static HANDLE processes[4096];
    int opened = 0;
    for (int i = 2; i < argc && opened < 4096; ++i) {
        HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE,
                                     (DWORD)strtoul(argv[i], NULL, 10));
        if (process != NULL) processes[opened++] = process;
    }
    FILE* out = fopen(argv[1], "w");
    fprintf(out, "ready %d\n", opened);
    fclose(out);

    int withCode2 = 0;
    for (int i = 0; i < opened; ++i) {
        WaitForSingleObject(processes[i], INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(processes[i], &code);
        if (code == 2) ++withCode2;
    }
    long long doneMs = NowMs();
    out = fopen(argv[1], "a");
    fprintf(out, "done %lld %d %d\n", doneMs, opened, withCode2);
    fclose(out);
    return 0;
}
