// Paths: their parts, joining a folder and a name, the one rule for paths the tool acts on.
#pragma once

#include <windows.h>

#include "counted_string.h"

// The path buffers handed to the path calls: MAX_PATH declared, room for a backslash and NUL.
const DWORD SETUP_PATH_BUFFER = 264;

// The one rule for every path the tool writes, deletes or starts: a drive letter, a colon and a
// backslash, then non-empty names separated by single backslashes, none ending in a dot or a
// space (so no "." or ".."), and no slash, colon, wildcard or control character. Anything else
// (a bare or relative name, "\\?\", a UNC or device path, a folder) could resolve to a file that
// is not the product's.
bool IsPlainAbsolutePath(const WCHAR *path);
// What follows the last backslash, slash or colon; the whole text without one.
const WCHAR *FileNamePart(const WCHAR *path);
// The directory of a path with its last backslash, slash or colon kept; empty without one.
void DirectoryWithSeparator(CountedString *result, const WCHAR *path);
// The directory part of a path: before its last backslash, or (only without one) its last slash.
void ParentDirectory(CountedString *result, CountedString path);
// `folder` without its trailing backslashes or slashes, as folders are named to the system; a
// drive's root keeps its backslash ("C:" alone names the current folder of drive C).
void BareFolder(CountedString *bare, const WCHAR *folder);
// `directory`, a backslash unless it is empty or ends in one, then `name`, in place of what
// `path` held. False (the path then incomplete) when memory runs out.
bool JoinPath(CountedString *path, const WCHAR *directory, const WCHAR *name);
// Whether the path names something that exists and is not a directory.
bool FileExists(const WCHAR *path);
// The path that the open `handle` reaches, with its drive letter (or "UNC\") and without the
// "\\?\" prefix: through every link on the way, as the system resolved it. Null, with the last
// error set, when the system cannot tell it. The caller frees it with GlobalFree.
WCHAR *ReachedPath(HANDLE handle);
