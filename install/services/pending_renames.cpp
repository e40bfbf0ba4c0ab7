// The system's pending file-rename operations.
//
// Every installer on the machine writes this value, so nothing about it is trusted: each string
// is measured inside the block, a string without its terminator inside the block is no string,
// and any failure gives the empty table.
#include "pending_renames.h"
#include "pending_renames_internal.h"

#include <string.h>
#include <wchar.h>
#include <winspool.h>

#include "paths.h"
#include "product.h"
#include "services/file_copy.h"

static const char SESSION_MANAGER_KEY[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
static const WCHAR PENDING_RENAMES_VALUE[] = L"PendingFileRenameOperations";

const WCHAR *StripNtPrefix(const WCHAR *path)
{
    if (path[0] == L'\\' && path[1] == L'?' && path[2] == L'?' && path[3] == L'\\')
        return path + 4;
    return path;
}

// The value in a new zero-filled block; `size` receives the byte count of the size query and
// `read` that of the read. Null when the value is missing or empty, when `multiStringOnly` and
// either query finds another type, or when the read fails (the value grew since the size query).
static BYTE *QueryRenameValue(HKEY key, bool multiStringOnly, DWORD *size, DWORD *read)
{
    DWORD type = REG_NONE;
    *size = 0;
    *read = 0;
    if (RegQueryValueExW(key, PENDING_RENAMES_VALUE, NULL, &type, NULL, size) != ERROR_SUCCESS ||
        *size == 0 || (multiStringOnly && type != REG_MULTI_SZ))
        return NULL;
    BYTE *block = static_cast<BYTE *>(GlobalAlloc(GPTR, *size));
    if (!block)
        return NULL;
    *read = *size;
    if (RegQueryValueExW(key, PENDING_RENAMES_VALUE, NULL, &type, block, read) != ERROR_SUCCESS ||
        (multiStringOnly && type != REG_MULTI_SZ)) {
        GlobalFree(block);
        return NULL;
    }
    return block;
}

BYTE *ReadPendingRenameValue(HKEY key, DWORD *byteCount)
{
    DWORD size = 0;
    DWORD read = 0;
    // Any type is read: every string is measured inside the block anyway.
    BYTE *block = QueryRenameValue(key, false, &size, &read);
    *byteCount = 0;
    // A read of nothing gives nothing, and a count above the block is never believed.
    if (block && read == 0) {
        GlobalFree(block);
        block = NULL;
    } else if (block) {
        *byteCount = read < size ? read : size;
    }
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

// How many whole strings the text holds before `limit`, each terminated within `available`.
static LONGLONG CountStrings(const WCHAR *text, LONGLONG available, LONGLONG limit)
{
    LONGLONG strings = 0;
    LONGLONG position = 0;
    while (position < limit) {
        LONGLONG length = MeasureString(text, position, available);
        if (length < 0)
            break;
        strings++;
        position += length + 1;
    }
    return strings;
}

// Copies the first `entries` strings into the table; an empty one stays null. False when a copy
// cannot be allocated.
static bool CopyStrings(PendingRenameTable *table, const WCHAR *text, LONGLONG entries,
                        LONGLONG available, LONGLONG limit)
{
    LONGLONG position = 0;
    for (LONGLONG i = 0; i < entries && position < limit; i++) {
        LONGLONG length = MeasureString(text, position, available);
        if (length < 0)
            break;
        if (length > 0) {
            SIZE_T bytes = (SIZE_T)(length + 1) * sizeof(WCHAR);
            WCHAR *copy = static_cast<WCHAR *>(GlobalAlloc(GPTR, bytes));
            if (!copy)
                return false;
            memcpy(copy, text + position, bytes);
            table->paths[i] = copy;
            table->exists[i] = FileExists(StripNtPrefix(copy));
        }
        position += length + 1;
    }
    return true;
}

PendingRenameTable ParsePendingRenameValue(const BYTE *block, DWORD byteCount)
{
    PendingRenameTable table = {NULL, NULL, 0};
    const WCHAR *text = reinterpret_cast<const WCHAR *>(block);
    // Whole characters only: an odd last byte belongs to no character.
    LONGLONG available = byteCount / 2;
    // No string starts on the list's final terminator.
    LONGLONG limit = ((LONGLONG)byteCount - 2) / 2;
    LONGLONG pairs = 0;

    if (!block)
        return table;
    pairs = CountStrings(text, available, limit) / 2;
    if (pairs == 0)
        return table;
    table.pairCount = (LONG)pairs;
    table.paths = static_cast<WCHAR **>(GlobalAlloc(GPTR, (SIZE_T)(2 * pairs) * sizeof(WCHAR *)));
    table.exists = static_cast<LONG *>(GlobalAlloc(GPTR, (SIZE_T)(2 * pairs) * sizeof(LONG)));
    if (!table.paths || !table.exists || !CopyStrings(&table, text, 2 * pairs, available, limit))
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

static WCHAR *LongPathOf(const WCHAR *path);

// The folders the tool places files in, which only it deletes from ahead of the boot.
enum { PRODUCT_FOLDER_COUNT = 5 };

// `folder`'s path as opening it reaches it, without the "\\?\" prefix; null when it cannot be
// opened or told. The caller frees it.
static WCHAR *FinalPathOf(const WCHAR *folder)
{
    HANDLE handle = CreateFileW(folder, FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (handle == INVALID_HANDLE_VALUE)
        return NULL;
    WCHAR *final = ReachedPath(handle);
    CloseHandle(handle);
    return final;
}

// The long form of the existing folder `folder` (without a trailing separator), and only when
// opening it reaches that very path: a folder reached through a link may lead elsewhere at the
// boot. Null otherwise; the caller frees it.
static WCHAR *DirectFolderPath(const WCHAR *folder)
{
    WCHAR *longPath = LongPathOf(folder);
    WCHAR *final = longPath ? FinalPathOf(longPath) : NULL;
    bool direct = final && CompareStringOrdinal(final, -1, longPath, -1, TRUE) == CSTR_EQUAL;
    if (final)
        GlobalFree(final);
    if (!direct && longPath) {
        GlobalFree(longPath);
        longPath = NULL;
    }
    return longPath;
}

// `path`'s folder without its trailing separator (a drive's root keeps it), as a new block.
static WCHAR *FolderOf(const WCHAR *path, size_t chars)
{
    if (chars == 2 && path[1] == L':')
        chars = 3;
    WCHAR *folder = static_cast<WCHAR *>(GlobalAlloc(GPTR, (chars + 1) * sizeof(WCHAR)));
    if (folder)
        memcpy(folder, path, chars * sizeof(WCHAR));
    return folder;
}

// The system directory, the printer driver directory and its version folder, the tool's folder
// and the companion's (its parent), each as DirectFolderPath gives it (null where unknown).
static void ProductFolders(WCHAR *folders[PRODUCT_FOLDER_COUNT])
{
    CountedString found[PRODUCT_FOLDER_COUNT] = {};
    CountedString joined = NULL;
    WCHAR buffer[MAX_PATH + 4] = {};
    UINT chars = GetSystemDirectoryW(buffer, MAX_PATH);
    if (chars && chars < MAX_PATH)
        BareFolder(&found[0], buffer);
    DWORD needed = 0;
    memset(buffer, 0, sizeof(buffer));
    if (GetPrinterDriverDirectoryW(NULL, const_cast<LPWSTR>(ENVIRONMENTS[1]), 1,
                                   reinterpret_cast<LPBYTE>(buffer), MAX_PATH * sizeof(WCHAR),
                                   &needed)) {
        BareFolder(&found[1], buffer); // the zeroed buffer ends the spooler's answer
        JoinPath(&joined, StringText(found[1]), DRIVER_VERSION_FOLDER);
        BareFolder(&found[2], StringText(joined));
    }
    memset(buffer, 0, sizeof(buffer));
    chars = GetModuleFileNameW(NULL, buffer, MAX_PATH);
    if (chars && chars < MAX_PATH) {
        DirectoryWithSeparator(&joined, buffer);
        BareFolder(&found[3], StringText(joined));
        // Without a folder below the root the companion's folder is not known.
        if (StringLength(found[3]) > 3) {
            ParentDirectory(&joined, found[3]);
            if (StringLength(joined))
                BareFolder(&found[4], StringText(joined));
        }
    }
    FreeString(&joined);
    for (int i = 0; i < PRODUCT_FOLDER_COUNT; i++) {
        folders[i] = StringLength(found[i]) ? DirectFolderPath(StringText(found[i])) : NULL;
        FreeString(&found[i]);
    }
}

// Any program may schedule a deletion, often of a path in a folder an ordinary user controls and
// can swap for a link: done now by this elevated tool, it could delete any file. Only a product
// component's file, named by a plain absolute path in a folder the tool places files in and
// reached directly, is deleted ahead of the boot.
static bool IsOwnPendingDeletion(const WCHAR *source, WCHAR *const *folders)
{
    const WCHAR *path = StripNtPrefix(source);
    if (!IsPlainAbsolutePath(path) || !IsProductComponentName(FileNamePart(path)))
        return false;
    WCHAR *folder = FolderOf(path, (size_t)(FileNamePart(path) - path - 1));
    WCHAR *direct = folder ? DirectFolderPath(folder) : NULL;
    bool own = false;
    for (int i = 0; direct && i < PRODUCT_FOLDER_COUNT && !own; i++)
        own = folders[i] && CompareStringOrdinal(direct, -1, folders[i], -1, TRUE) == CSTR_EQUAL;
    if (direct)
        GlobalFree(direct);
    if (folder)
        GlobalFree(folder);
    return own;
}

bool ApplyPendingDeletions(PendingRenameTable *table)
{
    bool allDeleted = true;
    WCHAR *folders[PRODUCT_FOLDER_COUNT] = {};
    if (table->pairCount > 0)
        ProductFolders(folders);
    for (LONG k = 0; k < table->pairCount; k++) {
        // Only deletions (no target); renames stay for the boot that was asked for, and so do
        // other programs' deletions.
        if (table->exists[2 * k] == 1 && table->paths[2 * k] && !table->paths[2 * k + 1] &&
            IsOwnPendingDeletion(table->paths[2 * k], folders)) {
            if (DeleteOwnFile(StripNtPrefix(table->paths[2 * k])))
                table->exists[2 * k] = 0;
            else
                allDeleted = false;
        }
    }
    for (WCHAR *folder : folders) {
        if (folder)
            GlobalFree(folder);
    }
    return allDeleted;
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

// The value as a new block and its byte count; null when it is missing, empty, no multi-string,
// or when the read claims more bytes than the size query.
static BYTE *ReadRenameMultiString(HKEY key, DWORD *bytes)
{
    DWORD size = 0;
    DWORD read = 0;
    BYTE *block = QueryRenameValue(key, true, &size, &read);
    *bytes = 0;
    if (block && read > size) {
        GlobalFree(block);
        block = NULL;
    } else if (block) {
        *bytes = read;
    }
    return block;
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

// The long forms of `paths` (each path itself when it has none), or null without memory.
static WCHAR **LongPathsOf(const WCHAR *const *paths, int count)
{
    WCHAR **longPaths = static_cast<WCHAR **>(GlobalAlloc(GPTR, (SIZE_T)count * sizeof(WCHAR *)));
    if (!longPaths)
        return NULL;
    for (int i = 0; i < count; i++) {
        longPaths[i] = LongPathOf(paths[i]);
        if (!longPaths[i])
            longPaths[i] = DuplicateWideString(paths[i]);
    }
    return longPaths;
}

static void FreeLongPaths(WCHAR **longPaths, int count)
{
    for (int i = 0; i < count; i++) {
        if (longPaths[i])
            GlobalFree(longPaths[i]);
    }
    GlobalFree(longPaths);
}

// The session manager's key for reading and, when allowed, writing; null when it cannot be read.
static HKEY OpenRenameKey(bool *writable)
{
    HKEY key = NULL;
    *writable = true;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SESSION_MANAGER_KEY, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                      &key) == ERROR_SUCCESS)
        return key;
    // Nothing to write is no failure; something to remove that cannot be is one.
    *writable = false;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SESSION_MANAGER_KEY, 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS)
        return NULL;
    return key;
}

// Whether the value now differs from the `read` bytes of `block`, or can no longer be read.
static bool RenameValueChanged(HKEY key, const BYTE *block, DWORD read)
{
    DWORD again = 0;
    BYTE *now = ReadRenameMultiString(key, &again);
    bool changed = !(now && again == read && memcmp(now, block, read) == 0);
    if (now)
        GlobalFree(now);
    return changed;
}

// One pass: reads the value, leaves out the deletions of `longPaths` and writes the rest. Sets
// `result` as ForgetPendingDeletions returns it; true when another pass is due: the value
// changed before the write (not on the `lastPass`), or it cannot be written.
static bool ForgetOnce(HKEY key, bool writable, bool lastPass, WCHAR *const *longPaths, int count,
                       int *result)
{
    bool again = false;
    DWORD read = 0;
    DWORD keptBytes = 0;
    int removed = 0;
    BYTE *block = ReadRenameMultiString(key, &read);
    BYTE *kept = block ? static_cast<BYTE *>(GlobalAlloc(GPTR, read)) : NULL;
    if (block && !kept)
        *result = -1;
    else if (kept)
        removed = LeaveOutDeletions(block, read, longPaths, count, kept, &keptBytes);
    if (removed && !writable) {
        SetLastError(ERROR_ACCESS_DENIED);
        *result = -1;
        again = true;
    } else if (removed && !lastPass && RenameValueChanged(key, block, read)) {
        *result = 0; // changed meanwhile: once more from the start
        again = true;
    } else if (removed) {
        LONG written = RegSetValueExW(key, PENDING_RENAMES_VALUE, 0, REG_MULTI_SZ, kept, keptBytes);
        SetLastError((DWORD)written);
        *result = written == ERROR_SUCCESS ? removed : -1;
    }
    if (kept)
        GlobalFree(kept);
    if (block)
        GlobalFree(block);
    return again;
}

int ForgetPendingDeletions(const WCHAR *const *paths, int count)
{
    int result = 0;
    bool writable = false;
    DWORD size = 0;
    WCHAR **longPaths = NULL;
    HKEY key = OpenRenameKey(&writable);
    // Nothing scheduled, as after most installs: no path needs its long form, which the file
    // system finds only by reading each folder on the way.
    if (!key || RegQueryValueExW(key, PENDING_RENAMES_VALUE, NULL, NULL, NULL, &size) ==
                    ERROR_FILE_NOT_FOUND)
        goto done;
    longPaths = LongPathsOf(paths, count);
    if (!longPaths) {
        result = -1;
        goto done;
    }
    // Another program may schedule its own file between the read and the write: the value is
    // read again just before the write, and the work starts over once if it changed.
    for (int pass = 0; pass < 2; pass++) {
        if (!ForgetOnce(key, writable, pass == 1, longPaths, count, &result))
            break;
    }

done:
    if (key)
        RegCloseKey(key);
    if (longPaths)
        FreeLongPaths(longPaths, count);
    return result;
}
