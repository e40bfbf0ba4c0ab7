// The modal log window shown at the end of an install or uninstall.
#include <stdio.h>

#include "dispatcher.h"
#include "paths.h"
#include "product.h"
#include "setup_record.h"
#include "res/resource.h"

INT_PTR CALLBACK LogDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG: {
        SetupContext *context = reinterpret_cast<SetupContext *>(lParam);
        SetDlgItemTextW(window, IDC_LOGTEXT, StringText(context->logText));
        WCHAR title[SETUP_PATH_BUFFER];
        _snwprintf(title, SETUP_PATH_BUFFER, L"Zentavo build %d- Install%s", BUILD_NUMBER,
                   context->errorCount != 0 ? L" error log!" : L" log.");
        title[SETUP_PATH_BUFFER - 1] = 0;
        SetWindowTextW(window, title);
        break;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK)
            EndDialog(window, 1);
        else if (LOWORD(wParam) == IDCANCEL)
            EndDialog(window, 0);
        break;
    }
    // FALSE for WM_INITDIALOG too: the dialog manager sets no initial focus.
    return FALSE;
}
