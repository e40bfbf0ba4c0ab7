// CountedString: a growable UTF-16 string in one heap block (64-bit length, text, NUL).
#pragma once

#include <windows.h>

struct CountedStringBlock {
    UINT64 length; // code units, terminator not counted
    WCHAR text[1];
};

// A null handle is the empty string; an empty string never keeps a block.
typedef CountedStringBlock *CountedString;

// Sets the length to n, keeping the first min(old, n) characters. Returns false, leaving the
// string as it was, when the block cannot be (re)allocated.
bool SetLength(CountedString *s, size_t n);
bool Assign(CountedString *s, const WCHAR *text);
bool Append(CountedString *s, const WCHAR *text);
bool AppendCount(CountedString *s, const WCHAR *text, size_t count);
void FreeString(CountedString *s);

// Whole-text comparison folding the ASCII letters A-Z only, without locale rules: how command
// words and product file names are compared.
bool EqualFoldingAscii(const WCHAR *a, const WCHAR *b);

inline const WCHAR *StringText(CountedString s)
{
    return s ? s->text : L"";
}

inline size_t StringLength(CountedString s)
{
    return s ? (size_t)s->length : 0;
}
