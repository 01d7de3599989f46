/* Holds a file open for reading, as a reader that follows a log does, until
 * it is killed.
 *
 *   hold_file.exe PATH SHARE
 *
 * SHARE: "rw" shares reading and writing (Get-Content -Wait), "r" reading
 * only, so that nobody can write, move or delete the file meanwhile; "map"
 * shares both and maps the file, as a viewer or a scanner does, so that it
 * can't be cut; "write" opens it for writing too and shares everything, as
 * a program that opened it before its permissions were locked down; "none"
 * opens it for writing and shares nothing at all.
 * Writes "held" to PATH.held once the file is open. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

int main(int argc, char** argv) {
    if (argc < 3) return 1;
    int map = strcmp(argv[2], "map") == 0;
    int none = strcmp(argv[2], "none") == 0;
    int write = none || strcmp(argv[2], "write") == 0;
    DWORD share =
        map || strcmp(argv[2], "rw") == 0 ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ;
    if (write) share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    if (none) share = 0;
    DWORD access = write ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
    HANDLE file =
        CreateFileA(argv[1], access, share, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return 2;
    if (map) {
        HANDLE mapping = CreateFileMappingA(file, NULL, PAGE_READONLY, 0, 0, NULL);
        if (mapping == NULL || MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) == NULL) return 3;
    }
    char mark[MAX_PATH + 8];
    snprintf(mark, sizeof mark, "%s.held", argv[1]);
    FILE* held = fopen(mark, "w");
    if (held != NULL) {
        fputs("held", held);
        fclose(held);
    }
    Sleep(INFINITE);
    return 0;
}
