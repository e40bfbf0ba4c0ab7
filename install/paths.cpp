// Paths: their parts, joining a folder and a name, the one rule for paths the tool acts on.
#include "paths.h"

#include <string.h>
#include <wchar.h>

static bool IsNameSeparator(WCHAR c)
{
    return c == L'\\' || c == L'/' || c == L':';
}

bool IsPlainAbsolutePath(const WCHAR *path)
{
    if (!path || !((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) ||
        path[1] != L':' || path[2] != L'\\')
        return false;
    const WCHAR *name = path + 3;
    for (const WCHAR *p = name;; p++) {
        if (*p == L'\\' || *p == 0) {
            // Windows drops a trailing dot or space when it opens a name: the file reached would
            // not be the one written, and "." and ".." would leave the folder.
            if (p == name || p[-1] == L'.' || p[-1] == L' ')
                return false;
            if (*p == 0)
                return true;
            name = p + 1;
        } else if (*p < 32 || wcschr(L"/:*?\"<>|", *p)) {
            return false;
        }
    }
}

const WCHAR *FileNamePart(const WCHAR *path)
{
    const WCHAR *name = path;
    for (const WCHAR *p = path; *p; p++) {
        if (IsNameSeparator(*p))
            name = p + 1;
    }
    return name;
}

void DirectoryWithSeparator(CountedString *result, const WCHAR *path)
{
    const WCHAR *name = FileNamePart(path);
    FreeString(result);
    if (name != path)
        AppendCount(result, path, (size_t)(name - path));
}

void ParentDirectory(CountedString *result, CountedString path)
{
    const WCHAR *text = StringText(path);
    const WCHAR *separator = wcsrchr(text, L'\\');
    if (!separator)
        separator = wcsrchr(text, L'/');
    CountedString parent = NULL;
    if (separator && separator != text)
        AppendCount(&parent, text, (size_t)(separator - text));
    FreeString(result);
    *result = parent;
}

void BareFolder(CountedString *bare, const WCHAR *folder)
{
    Assign(bare, folder);
    size_t chars = StringLength(*bare);
    while (chars > 3 && (folder[chars - 1] == L'\\' || folder[chars - 1] == L'/'))
        chars--;
    SetLength(bare, chars);
    if (chars == 2 && folder[1] == L':')
        Append(bare, L"\\");
}

bool JoinPath(CountedString *path, const WCHAR *directory, const WCHAR *name)
{
    FreeString(path);
    size_t length = directory ? wcslen(directory) : 0;
    if (length && !AppendCount(path, directory, length))
        return false;
    if (length && directory[length - 1] != L'\\' && !Append(path, L"\\"))
        return false;
    return Append(path, name);
}

bool FileExists(const WCHAR *path)
{
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

WCHAR *ReachedPath(HANDLE handle)
{
    DWORD chars = GetFinalPathNameByHandleW(handle, NULL, 0, VOLUME_NAME_DOS);
    if (chars == 0)
        return NULL;
    WCHAR *reached = static_cast<WCHAR *>(GlobalAlloc(GPTR, ((SIZE_T)chars + 1) * sizeof(WCHAR)));
    if (!reached) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    // A path that grew between the two calls is not told.
    DWORD written = GetFinalPathNameByHandleW(handle, reached, chars + 1, VOLUME_NAME_DOS);
    if (written == 0 || written > chars) {
        DWORD error = written ? (DWORD)ERROR_FILENAME_EXCED_RANGE : GetLastError();
        GlobalFree(reached);
        SetLastError(error);
        return NULL;
    }
    if (wcsncmp(reached, L"\\\\?\\", 4) == 0)
        memmove(reached, reached + 4, (wcslen(reached + 4) + 1) * sizeof(WCHAR));
    return reached;
}
