// CountedString: one heap block per string, grown in 32-character steps.
#include "counted_string.h"
#include "counted_string_internal.h"

#include <stddef.h>
#include <stdint.h>
#include <string.h>

// Capacity steps of 32 characters keep a line-by-line growing log from reallocating often.
static const size_t COUNTED_STRING_STEP = 32;

size_t CountedStringBlockSize(size_t length)
{
    const size_t header = offsetof(CountedStringBlock, text);
    // Refuse lengths whose rounded capacity would not fit a size_t.
    if (length > (SIZE_MAX - header) / sizeof(WCHAR) - COUNTED_STRING_STEP)
        return 0;
    size_t capacity = (length + COUNTED_STRING_STEP) / COUNTED_STRING_STEP * COUNTED_STRING_STEP;
    return header + capacity * sizeof(WCHAR);
}

bool SetLength(CountedString *s, size_t n)
{
    if (n == 0) {
        FreeString(s);
        return true;
    }
    size_t newSize = CountedStringBlockSize(n);
    if (newSize == 0)
        return false;
    size_t oldSize = *s ? CountedStringBlockSize((size_t)(*s)->length) : 0;
    if (newSize != oldSize) {
        // A failed reallocation leaves the old block untouched and still owned.
        void *block = *s ? HeapReAlloc(GetProcessHeap(), 0, *s, newSize)
                         : HeapAlloc(GetProcessHeap(), 0, newSize);
        if (!block)
            return false;
        *s = static_cast<CountedString>(block);
    }
    (*s)->text[n] = 0;
    (*s)->length = n;
    return true;
}

bool AppendCount(CountedString *s, const WCHAR *text, size_t count)
{
    if (count == 0)
        return true;
    size_t old = StringLength(*s);
    if (count > SIZE_MAX - old || !SetLength(s, old + count))
        return false;
    memcpy((*s)->text + old, text, count * sizeof(WCHAR));
    return true;
}

bool Append(CountedString *s, const WCHAR *text)
{
    return AppendCount(s, text, wcslen(text));
}

bool Assign(CountedString *s, const WCHAR *text)
{
    size_t length = text ? wcslen(text) : 0;
    if (!SetLength(s, length))
        return false;
    if (length)
        memcpy((*s)->text, text, length * sizeof(WCHAR));
    return true;
}

void FreeString(CountedString *s)
{
    if (*s)
        HeapFree(GetProcessHeap(), 0, *s);
    *s = NULL;
}

static WCHAR FoldAscii(WCHAR c)
{
    return (c >= L'A' && c <= L'Z') ? (WCHAR)(c - L'A' + L'a') : c;
}

bool EqualFoldingAscii(const WCHAR *a, const WCHAR *b)
{
    for (;; a++, b++) {
        if (FoldAscii(*a) != FoldAscii(*b))
            return false;
        if (*a == 0)
            return true;
    }
}
