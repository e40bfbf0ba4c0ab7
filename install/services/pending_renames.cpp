// The system's pending file-rename operations.
//
// Every installer on the machine writes this value, so nothing about it is trusted: each string
// is measured inside the block, a string without its terminator inside the block is no string,
// and any failure gives the empty table.
#include "pending_renames.h"

#include <string.h>
#include <wchar.h>

#include "services/file_copy.h"
#include "setup_context.h"

static const char SESSION_MANAGER_KEY[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
static const WCHAR PENDING_RENAMES_VALUE[] = L"PendingFileRenameOperations";

const WCHAR *StripNtPrefix(const WCHAR *path)
{
    if (path[0] == L'\\' && path[1] == L'?' && path[2] == L'?' && path[3] == L'\\')
        return path + 4;
    return path;
}

BYTE *ReadPendingRenameValue(HKEY key, DWORD *byteCount)
{
    BYTE *block = NULL;
    DWORD size = 0;
    DWORD read = 0;

    *byteCount = 0;
    if (RegQueryValueExW(key, PENDING_RENAMES_VALUE, NULL, NULL, NULL, &size) != ERROR_SUCCESS ||
        size == 0)
        goto done;
    block = static_cast<BYTE *>(GlobalAlloc(GPTR, size));
    if (!block)
        goto done;
    // The value may have changed since the size query: a failed read (it grew) gives nothing,
    // and a count above the block is never believed.
    read = size;
    if (RegQueryValueExW(key, PENDING_RENAMES_VALUE, NULL, NULL, block, &read) != ERROR_SUCCESS ||
        read == 0) {
        GlobalFree(block);
        block = NULL;
        goto done;
    }
    *byteCount = read < size ? read : size;

done:
    RegCloseKey(key);
    return block;
}

// Characters of the string at `position`, or -1 when no terminator follows within `available`.
static LONGLONG MeasureString(const WCHAR *text, LONGLONG position, LONGLONG available)
{
    for (LONGLONG i = position; i < available; i++) {
        if (text[i] == 0)
            return i - position;
    }
    return -1;
}

PendingRenameTable ParsePendingRenameValue(const BYTE *block, DWORD byteCount)
{
    PendingRenameTable table = {NULL, NULL, 0};
    const WCHAR *text = reinterpret_cast<const WCHAR *>(block);
    // Whole characters only: an odd last byte belongs to no character.
    LONGLONG available = byteCount / 2;
    // No string starts on the list's final terminator.
    LONGLONG limit = ((LONGLONG)byteCount - 2) / 2;
    LONGLONG strings = 0;
    LONGLONG position = 0;
    LONGLONG entries = 0;

    if (!block)
        return table;
    while (position < limit) {
        LONGLONG length = MeasureString(text, position, available);
        if (length < 0)
            break;
        strings++;
        position += length + 1;
    }
    if (strings / 2 == 0)
        return table;

    entries = (strings / 2) * 2;
    table.pairCount = (LONG)(strings / 2);
    table.paths = static_cast<WCHAR **>(GlobalAlloc(GPTR, (SIZE_T)entries * sizeof(WCHAR *)));
    table.exists = static_cast<LONG *>(GlobalAlloc(GPTR, (SIZE_T)entries * sizeof(LONG)));
    if (!table.paths || !table.exists)
        goto failed;

    position = 0;
    for (LONGLONG i = 0; i < entries && position < limit; i++) {
        LONGLONG length = MeasureString(text, position, available);
        if (length < 0)
            break;
        if (length > 0) {
            SIZE_T bytes = (SIZE_T)(length + 1) * sizeof(WCHAR);
            WCHAR *copy = static_cast<WCHAR *>(GlobalAlloc(GPTR, bytes));
            if (!copy)
                goto failed;
            memcpy(copy, text + position, bytes);
            table.paths[i] = copy;
            table.exists[i] = FileExists(StripNtPrefix(copy));
        }
        position += length + 1;
    }
    return table;

failed:
    ReleasePendingRenameTable(&table);
    return table;
}

PendingRenameTable LoadPendingRenameTable()
{
    PendingRenameTable table = {NULL, NULL, 0};
    HKEY key = NULL;
    DWORD byteCount = 0;

    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SESSION_MANAGER_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return table;
    BYTE *block = ReadPendingRenameValue(key, &byteCount);
    if (!block)
        return table;
    table = ParsePendingRenameValue(block, byteCount);
    GlobalFree(block);
    return table;
}

// Any program may schedule a deletion, often of a path in a folder an ordinary user controls and
// can swap for a link: done now by this elevated tool, it could delete any file. Only a product
// component's file, named by a plain absolute path, is deleted ahead of the boot.
static bool IsOwnPendingDeletion(const WCHAR *source)
{
    const WCHAR *path = StripNtPrefix(source);
    return IsPlainAbsolutePath(path) && IsProductComponentName(FileNamePart(path));
}

void ApplyPendingDeletions(PendingRenameTable *table)
{
    for (LONG k = 0; k < table->pairCount; k++) {
        // Only deletions (no target); renames stay for the boot that was asked for, and so do
        // other programs' deletions.
        if (table->exists[2 * k] == 1 && table->paths[2 * k] && !table->paths[2 * k + 1] &&
            IsOwnPendingDeletion(table->paths[2 * k]) &&
            DeleteOwnFile(StripNtPrefix(table->paths[2 * k])))
            table->exists[2 * k] = 0;
    }
}

void ReleasePendingRenameTable(PendingRenameTable *table)
{
    if (table->paths) {
        for (LONG i = 0; i < 2 * table->pairCount; i++) {
            if (table->paths[i])
                GlobalFree(table->paths[i]);
        }
        GlobalFree(table->paths);
    }
    if (table->exists)
        GlobalFree(table->exists);
    table->paths = NULL;
    table->exists = NULL;
    table->pairCount = 0;
}

// The long form of an existing file's path (a placed file may be named in its 8.3 spelling,
// on either side); the path itself when it has none. The caller frees a returned copy.
static WCHAR *LongPathOf(const WCHAR *path)
{
    DWORD chars = GetLongPathNameW(path, NULL, 0);
    if (chars == 0)
        return NULL;
    WCHAR *full = static_cast<WCHAR *>(GlobalAlloc(GPTR, (SIZE_T)chars * sizeof(WCHAR)));
    if (full && GetLongPathNameW(path, full, chars) < chars)
        return full;
    if (full)
        GlobalFree(full);
    return NULL;
}

// Whole paths are compared as the file system compares them, not only over ASCII letters, and
// in their long forms.
static bool IsOneOf(const WCHAR *path, WCHAR *const *longPaths, int count)
{
    WCHAR *longPath = LongPathOf(path);
    const WCHAR *compared = longPath ? longPath : path;
    bool found = false;
    for (int i = 0; i < count && !found; i++) {
        found = longPaths[i] &&
                CompareStringOrdinal(compared, -1, longPaths[i], -1, TRUE) == CSTR_EQUAL;
    }
    if (longPath)
        GlobalFree(longPath);
    return found;
}

// The value as a new block and its byte count; null when it is missing, empty, or no
// multi-string.
static BYTE *ReadRenameMultiString(HKEY key, DWORD *bytes)
{
    DWORD type = 0, size = 0, read = 0;
    *bytes = 0;
    if (RegQueryValueExW(key, PENDING_RENAMES_VALUE, NULL, &type, NULL, &size) != ERROR_SUCCESS ||
        size == 0 || type != REG_MULTI_SZ)
        return NULL;
    BYTE *block = static_cast<BYTE *>(GlobalAlloc(GPTR, size));
    read = size;
    if (block &&
        RegQueryValueExW(key, PENDING_RENAMES_VALUE, NULL, &type, block, &read) == ERROR_SUCCESS &&
        read <= size && type == REG_MULTI_SZ) {
        *bytes = read;
        return block;
    }
    if (block)
        GlobalFree(block);
    return NULL;
}

// Copies `block` into `kept` (as large) without the pending deletions of `longPaths`; returns
// how many pairs were left out.
static int LeaveOutDeletions(const BYTE *block, DWORD read, WCHAR *const *longPaths, int count,
                             BYTE *kept, DWORD *keptBytes)
{
    const WCHAR *text = reinterpret_cast<const WCHAR *>(block);
    LONGLONG available = read / 2;
    LONGLONG limit = ((LONGLONG)read - 2) / 2;
    LONGLONG position = 0;
    int removed = 0;
    *keptBytes = 0;
    // Whole pairs are copied or left out; whatever follows the last whole pair (the final
    // terminator, an odd string, an odd byte) is copied as it is.
    while (position < limit) {
        LONGLONG source = MeasureString(text, position, available);
        if (source < 0 || position + source + 1 >= limit)
            break;
        LONGLONG target = MeasureString(text, position + source + 1, available);
        if (target < 0)
            break;
        LONGLONG pairChars = source + 1 + target + 1;
        if (source > 0 && target == 0 &&
            IsOneOf(StripNtPrefix(text + position), longPaths, count)) {
            removed++;
        } else {
            memcpy(kept + *keptBytes, text + position, (size_t)pairChars * sizeof(WCHAR));
            *keptBytes += (DWORD)(pairChars * sizeof(WCHAR));
        }
        position += pairChars;
    }
    DWORD rest = read - (DWORD)(position * sizeof(WCHAR));
    memcpy(kept + *keptBytes, block + position * sizeof(WCHAR), rest);
    *keptBytes += rest;
    return removed;
}

int ForgetPendingDeletions(const WCHAR *const *paths, int count)
{
    HKEY key = NULL;
    bool writable = true;
    int result = 0;
    WCHAR **longPaths = static_cast<WCHAR **>(GlobalAlloc(GPTR, (SIZE_T)count * sizeof(WCHAR *)));
    if (!longPaths)
        return -1;
    for (int i = 0; i < count; i++) {
        longPaths[i] = LongPathOf(paths[i]);
        if (!longPaths[i])
            longPaths[i] = DuplicateWideString(paths[i]);
    }

    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SESSION_MANAGER_KEY, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                      &key) != ERROR_SUCCESS) {
        // Nothing to write is no failure; something to remove that cannot be is one.
        writable = false;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SESSION_MANAGER_KEY, 0, KEY_QUERY_VALUE, &key) !=
            ERROR_SUCCESS)
            key = NULL;
    }
    // Another program may schedule its own file between the read and the write: the value is
    // read again just before the write, and the work starts over once if it changed.
    for (int attempt = 0; key && attempt < 2; attempt++) {
        DWORD read = 0, keptBytes = 0, again = 0;
        BYTE *block = ReadRenameMultiString(key, &read);
        BYTE *kept = block ? static_cast<BYTE *>(GlobalAlloc(GPTR, read)) : NULL;
        BYTE *now = NULL;
        int removed = 0;
        if (block && !kept)
            result = -1;
        else if (kept)
            removed = LeaveOutDeletions(block, read, longPaths, count, kept, &keptBytes);
        if (removed && !writable) {
            SetLastError(ERROR_ACCESS_DENIED);
            result = -1;
        } else if (removed && attempt == 0 &&
                   !((now = ReadRenameMultiString(key, &again)) && again == read &&
                     memcmp(now, block, read) == 0)) {
            result = 0; // changed meanwhile: once more from the start
        } else if (removed) {
            LONG written =
                RegSetValueExW(key, PENDING_RENAMES_VALUE, 0, REG_MULTI_SZ, kept, keptBytes);
            SetLastError((DWORD)written);
            result = written == ERROR_SUCCESS ? removed : -1;
            attempt = 2;
        } else {
            attempt = 2;
        }
        if (now)
            GlobalFree(now);
        if (kept)
            GlobalFree(kept);
        if (block)
            GlobalFree(block);
    }

    if (key)
        RegCloseKey(key);
    for (int i = 0; i < count; i++) {
        if (longPaths[i])
            GlobalFree(longPaths[i]);
    }
    GlobalFree(longPaths);
    return result;
}
