// fileholder.exe FILE STOPFILE [rw]: keeps FILE open without delete or write sharing until
// STOPFILE exists, so that the file is really locked the way a running program locks its own
// files. With "rw" it shares reading and writing but not deletion, the way a program that has a
// file open for its own use holds it: the file can be overwritten but not deleted.
//
// Prints "held" (then flushes) once the file is open, so a caller knows when the lock is in
// place. Exit codes: 0 released by the stop file, 1 bad arguments, 2 FILE did not open (the
// error follows on the output), 3 the hold outlived its ten-minute bound.
#include <stdio.h>

#include <windows.h>

namespace {

// Long enough for any scenario, short enough that a forgotten holder does not outlive a run.
const DWORD HOLD_LIMIT_MS = 10 * 60 * 1000;
const DWORD STOP_POLL_MS = 20;

void Print(const char *text)
{
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, (DWORD)strlen(text), &written, NULL);
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    bool shareWrite = argc == 4 && lstrcmpW(argv[3], L"rw") == 0;
    if (argc != 3 && !shareWrite) {
        Print("usage: fileholder FILE STOPFILE [rw]\r\n");
        return 1;
    }
    DWORD share = shareWrite ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ;
    HANDLE file =
        CreateFileW(argv[1], GENERIC_READ, share, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        char line[64];
        _snprintf(line, sizeof(line), "open failed %lu\r\n", GetLastError());
        line[sizeof(line) - 1] = 0;
        Print(line);
        return 2;
    }
    Print("held\r\n");
    int result = 3;
    for (DWORD waited = 0; waited < HOLD_LIMIT_MS; waited += STOP_POLL_MS) {
        if (GetFileAttributesW(argv[2]) != INVALID_FILE_ATTRIBUTES) {
            result = 0;
            break;
        }
        Sleep(STOP_POLL_MS);
    }
    CloseHandle(file);
    Print(result == 0 ? "released\r\n" : "timed out\r\n");
    return result;
}
