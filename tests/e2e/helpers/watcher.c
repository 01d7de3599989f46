/* Reads and dismisses the runner's warning boxes, as a user would.
 *
 *   watcher.exe LOGFILE [HOLD_MS]
 *   watcher.exe --service LOGFILE [HOLD_MS]
 *
 * For every box captioned "Cycle_launch" it appends the box's text as one
 * line to LOGFILE, waits HOLD_MS (default 0), then presses OK. Runs until
 * it is killed or, as a service, stopped. A service's boxes can't be found
 * from an ordinary process under Wine, so to watch the runner's service the
 * watcher runs as a service of its own (see the service tests). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

static char Text[1024];
static const char* LogPath;
static DWORD HoldMs;
static volatile LONG Stopping;
static SERVICE_STATUS_HANDLE Status;

static BOOL CALLBACK FindBoxText(HWND child, LPARAM found) {
    char className[64];
    GetClassNameA(child, className, sizeof className);
    if (_stricmp(className, "Static") != 0) return TRUE;
    if (GetWindowTextA(child, Text, sizeof Text) == 0) return TRUE; /* the icon */
    *(BOOL*)found = TRUE;
    return FALSE;
}

static void Watch(void) {
    while (!Stopping) {
        HWND box = FindWindowA(NULL, "Cycle_launch");
        /* A box is shown once it has its text and reads its messages;
         * found earlier, it reads as empty and may miss the OK. */
        if (box == NULL || !IsWindowVisible(box)) {
            Sleep(10);
            continue;
        }
        BOOL found = FALSE;
        Text[0] = '\0';
        EnumChildWindows(box, FindBoxText, (LPARAM)&found);
        FILE* log = fopen(LogPath, "ab");
        if (log != NULL) {
            fprintf(log, "%s\r\n", Text);
            fclose(log);
        }
        Sleep(HoldMs);
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        for (int i = 0; i < 200 && IsWindow(box); ++i) Sleep(10);
    }
}

static void Report(DWORD state) {
    SERVICE_STATUS status;
    memset(&status, 0, sizeof status);
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    SetServiceStatus(Status, &status);
}

static void WINAPI OnControl(DWORD control) {
    if (control == SERVICE_CONTROL_STOP) InterlockedExchange(&Stopping, 1);
}

static void WINAPI WatcherServiceMain(DWORD argc, LPSTR* argv) {
    (void)argc;
    (void)argv;
    Status = RegisterServiceCtrlHandlerA("", OnControl);
    Report(SERVICE_RUNNING);
    Watch();
    Report(SERVICE_STOPPED);
}

int main(int argc, char** argv) {
    int service = argc > 1 && strcmp(argv[1], "--service") == 0;
    int first = service ? 2 : 1;
    if (argc <= first) return 1;
    LogPath = argv[first];
    HoldMs = argc > first + 1 ? (DWORD)atol(argv[first + 1]) : 0;
    if (!service) {
        Watch();
        return 0;
    }
    char name[] = "";
    SERVICE_TABLE_ENTRYA table[] = {{name, WatcherServiceMain}, {NULL, NULL}};
    return StartServiceCtrlDispatcherA(table) ? 0 : 2;
}
