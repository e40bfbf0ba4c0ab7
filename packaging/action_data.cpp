// The package's actions' data and their lines in the Windows Installer log.
#include "action_data.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "paths.h"
#include "setup_log.h"
#include "setup_run.h"

void LogMessage(MSIHANDLE install, INSTALLMESSAGE kind, const WCHAR *text)
{
    MSIHANDLE record = MsiCreateRecord(1);
    if (!record)
        return;
    MsiRecordSetStringW(record, 0, L"[1]");
    MsiRecordSetStringW(record, 1, text);
    MsiProcessMessage(install, kind, record);
    MsiCloseHandle(record);
}

void Report(MSIHANDLE install, INSTALLMESSAGE kind, const WCHAR *format, ...)
{
    WCHAR text[LOG_LINE_CHARS];
    va_list args;
    va_start(args, format);
    _vsnwprintf(text, LOG_LINE_CHARS, format, args);
    va_end(args);
    text[LOG_LINE_CHARS - 1] = 0;
    LogMessage(install, kind, text);
}

bool ReadActionData(MSIHANDLE install, CountedString *data)
{
    WCHAR empty[1] = L"";
    DWORD length = 0;
    UINT status = MsiGetPropertyW(install, L"CustomActionData", empty, &length);
    if (status == ERROR_SUCCESS || (status == ERROR_MORE_DATA && length == 0))
        return Assign(data, L"");
    if (status != ERROR_MORE_DATA || !SetLength(data, length))
        return false;
    length++;
    if (MsiGetPropertyW(install, L"CustomActionData", (*data)->text, &length) != ERROR_SUCCESS)
        return false;
    return SetLength(data, length);
}

bool ReadShortProperty(MSIHANDLE install, const WCHAR *name, WCHAR *value, DWORD count)
{
    DWORD length = count;
    return MsiGetPropertyW(install, name, value, &length) == ERROR_SUCCESS && length > 0;
}

bool ParseActionData(const WCHAR *data, const SetupCommand **command, CountedString *productCode,
                     CountedString *folder)
{
    const WCHAR *separator = wcschr(data, DATA_SEPARATOR);
    const WCHAR *codeEnd = separator ? wcschr(separator + 1, DATA_SEPARATOR) : NULL;
    if (!codeEnd)
        return false;
    *command = FindSetupCommand(data, (size_t)(separator - data));
    const WCHAR *path = codeEnd + 1;
    if (!*command || !Assign(folder, path) || StringLength(*folder) == 0 ||
        !Assign(productCode, L"") ||
        !AppendCount(productCode, separator + 1, (size_t)(codeEnd - separator - 1)))
        return false;
    size_t length = StringLength(*folder);
    if ((*folder)->text[length - 1] != L'\\' && !Append(folder, L"\\"))
        return false;
    // Only the installed folder, by the rule the tool itself writes and starts by: a relative
    // one would be looked up from wherever the installer happens to run.
    CountedString setup = NULL;
    bool plain = Assign(&setup, StringText(*folder)) && Append(&setup, SETUP_FILE_NAME) &&
                 IsPlainAbsolutePath(StringText(setup));
    FreeString(&setup);
    return plain;
}
