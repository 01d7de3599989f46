/* Prints what the Service Control Manager holds for one service, since
 * Wine's sc has no "qc".
 *
 *   service_query.exe NAME [control=N]
 *
 * With control=N it first sends that control code and prints "sent" with
 * the status the service had reported when its handler returned (state=N
 * checkpoint=N hint=N), or "refused ERROR". Then one line: type=0x..
 * start=N error=N account=... state=N exit=N specific=N checkpoint=N hint=N
 * path=..., or "missing" when the service can't be opened. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

int main(int argc, char** argv) {
    if (argc < 2) return 1;
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    /* Pause-continue: the right that paramchange asks for. */
    DWORD access = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
                   SERVICE_USER_DEFINED_CONTROL | SERVICE_PAUSE_CONTINUE | SERVICE_STOP;
    SC_HANDLE service = manager ? OpenServiceA(manager, argv[1], access) : NULL;
    if (service == NULL) {
        printf("missing\n");
        return 0;
    }
    if (argc > 2 && strncmp(argv[2], "control=", 8) == 0) {
        SERVICE_STATUS answer;
        if (ControlService(service, (DWORD)atol(argv[2] + 8), &answer)) {
            printf("sent state=%lu checkpoint=%lu hint=%lu\n", answer.dwCurrentState,
                   answer.dwCheckPoint, answer.dwWaitHint);
        } else {
            printf("refused %lu\n", GetLastError());
        }
    }
    static BYTE buffer[8192];
    QUERY_SERVICE_CONFIGA* config = (QUERY_SERVICE_CONFIGA*)buffer;
    DWORD needed;
    SERVICE_STATUS status;
    if (!QueryServiceConfigA(service, config, sizeof buffer, &needed) ||
        !QueryServiceStatus(service, &status)) {
        printf("error %lu\n", GetLastError());
        return 0;
    }
    printf(
        "type=0x%lx start=%lu error=%lu account=%s state=%lu exit=%lu specific=%lu "
        "checkpoint=%lu hint=%lu path=%s\n",
        config->dwServiceType, config->dwStartType, config->dwErrorControl,
        config->lpServiceStartName ? config->lpServiceStartName : "", status.dwCurrentState,
        status.dwWin32ExitCode, status.dwServiceSpecificExitCode, status.dwCheckPoint,
        status.dwWaitHint, config->lpBinaryPathName);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}
