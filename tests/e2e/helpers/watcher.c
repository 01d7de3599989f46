/* Reads and dismisses the runner's warning boxes, as a user would.
 *
 *   watcher.exe LOGFILE [HOLD_MS]
 *
 * For every box captioned "Cycle_launch" it appends the box's text as one
 * line to LOGFILE, waits HOLD_MS (default 0), then presses OK. Runs until
 * it is killed. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static char Text[1024];

static BOOL CALLBACK FindBoxText(HWND child, LPARAM found) {
    char className[64];
    GetClassNameA(child, className, sizeof className);
    if (_stricmp(className, "Static") != 0) return TRUE;
    if (GetWindowTextA(child, Text, sizeof Text) == 0) return TRUE;  /* the icon */
    *(BOOL*)found = TRUE;
    return FALSE;
}

int main(int argc, char** argv) {
    if (argc < 2) return 1;
    DWORD holdMs = argc > 2 ? (DWORD)atol(argv[2]) : 0;
    for (;;) {
        HWND box = FindWindowA(NULL, "Cycle_launch");
        if (box == NULL) {
            Sleep(50);
            continue;
        }
        BOOL found = FALSE;
        Text[0] = '\0';
        EnumChildWindows(box, FindBoxText, (LPARAM)&found);
        FILE* log = fopen(argv[1], "ab");
        if (log != NULL) {
            fprintf(log, "%s\r\n", Text);
            fclose(log);
        }
        Sleep(holdMs);
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        for (int i = 0; i < 200 && IsWindow(box); ++i) Sleep(10);
    }
}
