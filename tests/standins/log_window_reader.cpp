// logwin.exe read | close [WAIT_MS]: reads or closes the setup tool's modal log window from
// another process, so that a scenario sees what the window says and never hangs on it.
//
// The window is the first visible top-level dialog (class "#32770") whose title begins with
// "Zentavo" and that has the log edit control (id 1001).
//   read   prints "title: TITLE", then the edit's text (CR LF made "\n"); exit 0, or 1 when no
//          such window is open
//   close  clicks its "Close" button (a posted IDOK) and waits up to WAIT_MS (default 5000) for
//          the window to go; exit 0 when it went, 1 when there was none, 3 when it stayed
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include <windows.h>

namespace {

const int LOG_TEXT_ID = 1001;
// A cross-process message to a hung window must not hang the reader.
const UINT MESSAGE_TIMEOUT_MS = 2000;

BOOL CALLBACK FindLogWindow(HWND window, LPARAM found)
{
    WCHAR className[64], title[16];
    if (!IsWindowVisible(window) || !GetClassNameW(window, className, 64) ||
        lstrcmpW(className, L"#32770") != 0)
        return TRUE;
    GetWindowTextW(window, title, 16);
    if (wcsncmp(title, L"Zentavo", 7) != 0 || GetDlgItem(window, LOG_TEXT_ID) == NULL)
        return TRUE;
    *reinterpret_cast<HWND *>(found) = window;
    return FALSE;
}

HWND LogWindow()
{
    HWND found = NULL;
    EnumWindows(FindLogWindow, reinterpret_cast<LPARAM>(&found));
    return found;
}

std::wstring WindowText(HWND window)
{
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, MESSAGE_TIMEOUT_MS,
                             &length))
        return std::wstring();
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(&text[0]),
                             SMTO_ABORTIFHUNG, MESSAGE_TIMEOUT_MS, &copied))
        return std::wstring();
    text.resize(copied);
    return text;
}

void PrintWide(std::wstring text)
{
    std::wstring unix;
    for (WCHAR c : text)
        if (c != L'\r')
            unix += c;
    int bytes =
        WideCharToMultiByte(CP_UTF8, 0, unix.c_str(), (int)unix.size(), NULL, 0, NULL, NULL);
    std::string utf8(bytes, '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, unix.c_str(), (int)unix.size(), &utf8[0], bytes, NULL,
                            NULL);
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), utf8.data(), (DWORD)utf8.size(), &written, NULL);
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2 || (lstrcmpW(argv[1], L"read") != 0 && lstrcmpW(argv[1], L"close") != 0)) {
        PrintWide(L"usage: logwin read | logwin close [WAIT_MS]\n");
        return 2;
    }
    HWND window = LogWindow();
    if (window == NULL)
        return 1;
    if (lstrcmpW(argv[1], L"read") == 0) {
        WCHAR title[512] = {};
        GetWindowTextW(window, title, 512);
        std::wstring text = WindowText(GetDlgItem(window, LOG_TEXT_ID));
        if (!text.empty() && text.back() != L'\n')
            text += L"\n";
        PrintWide(std::wstring(L"title: ") + title + L"\n" + text);
        return 0;
    }
    DWORD waitMs = argc > 2 ? wcstoul(argv[2], NULL, 10) : 5000;
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(window, IDOK)));
    for (DWORD waited = 0; waited <= waitMs; waited += 50) {
        if (!IsWindow(window) || !IsWindowVisible(window))
            return 0;
        Sleep(50);
    }
    return 3;
}
