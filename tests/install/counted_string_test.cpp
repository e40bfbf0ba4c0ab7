// Counted strings: growth in steps of 32 characters, appends, a failed reallocation, conversions.
#include <gtest/gtest.h>

#include <string>

#include "counted_string.h"
#include "counted_string_internal.h"
#include "import_hook.h"

namespace {

size_t HeapBlockSize(CountedString s)
{
    return s ? HeapSize(GetProcessHeap(), 0, s) : 0;
}

TEST(CountedString, CapacityGrowsInStepsOf32Characters)
{
    // length -> bytes of the block: 8 + 2 x (length + 1 rounded up to 32)
    const struct {
        size_t length, bytes;
    } cases[] = {{1, 72}, {30, 72}, {31, 72}, {32, 136}, {63, 136}, {64, 200}};
    for (const auto &c : cases)
        EXPECT_EQ(c.bytes, CountedStringBlockSize(c.length)) << "length " << c.length;

    CountedString s = NULL;
    ASSERT_TRUE(SetLength(&s, 31));
    EXPECT_EQ(72u, HeapBlockSize(s));
    ASSERT_TRUE(SetLength(&s, 32));
    EXPECT_EQ(136u, HeapBlockSize(s));
    ASSERT_TRUE(SetLength(&s, 5)); // shrinks into the lower step
    EXPECT_EQ(72u, HeapBlockSize(s));
    EXPECT_EQ(0, s->text[5]);
    ASSERT_TRUE(SetLength(&s, 0));
    EXPECT_EQ(nullptr, s);
}

TEST(CountedString, NullHandleIsTheEmptyString)
{
    CountedString s = NULL;
    EXPECT_STREQ(L"", StringText(s));
    EXPECT_EQ(0u, StringLength(s));
    ASSERT_TRUE(Assign(&s, L""));
    EXPECT_EQ(nullptr, s);
    ASSERT_TRUE(Assign(&s, nullptr));
    EXPECT_EQ(nullptr, s);
    ASSERT_TRUE(Append(&s, L""));
    EXPECT_EQ(nullptr, s);
}

TEST(CountedString, AppendsAcrossStepBoundariesKeepTheText)
{
    CountedString s = NULL;
    std::wstring expected;
    for (int i = 0; i < 300; i++) {
        WCHAR piece[8];
        swprintf(piece, 8, L"%c%d", L'a' + i % 26, i % 10);
        ASSERT_TRUE(Append(&s, piece));
        expected += piece;
        ASSERT_EQ(expected.size(), StringLength(s));
        ASSERT_EQ(0, s->text[expected.size()]);
        ASSERT_EQ(CountedStringBlockSize(expected.size()), HeapBlockSize(s));
    }
    EXPECT_EQ(expected, std::wstring(StringText(s)));
    FreeString(&s);
    EXPECT_EQ(nullptr, s);
}

TEST(CountedString, VeryLongStrings)
{
    CountedString s = NULL;
    std::wstring big(1 << 20, L'x');
    ASSERT_TRUE(Assign(&s, big.c_str()));
    ASSERT_TRUE(Append(&s, L"end"));
    EXPECT_EQ(big.size() + 3, StringLength(s));
    EXPECT_STREQ(L"end", StringText(s) + big.size());
    // A length whose block size cannot be expressed is refused and leaves the string whole.
    EXPECT_EQ(0u, CountedStringBlockSize(SIZE_MAX / 2));
    EXPECT_FALSE(SetLength(&s, SIZE_MAX / 2));
    EXPECT_FALSE(AppendCount(&s, L"x", SIZE_MAX));
    EXPECT_EQ(big.size() + 3, StringLength(s));
    FreeString(&s);
}

LPVOID WINAPI FailingHeapReAlloc(HANDLE, DWORD, LPVOID, SIZE_T)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
}

TEST(CountedString, FailedReallocationKeepsTheOldBlock)
{
    CountedString s = NULL;
    ASSERT_TRUE(Assign(&s, L"0123456789012345678901234567890")); // 31: a full step
    CountedString before = s;
    {
        ImportHook hook("kernel32.dll", "HeapReAlloc",
                        reinterpret_cast<const void *>(&FailingHeapReAlloc));
        EXPECT_FALSE(Append(&s, L"x"));
    }
    EXPECT_EQ(before, s);
    EXPECT_STREQ(L"0123456789012345678901234567890", StringText(s));
    EXPECT_EQ(31u, StringLength(s));
    FreeString(&s);
}

} // namespace
