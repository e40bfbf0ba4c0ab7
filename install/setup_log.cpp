// The in-memory setup log: indented lines ending in CR LF, and error reports.
#include "setup_log.h"
#include "setup_log_internal.h"

#include <stdarg.h>
#include <stdio.h>
#include <wchar.h>

#include "setup_record.h"

// Formats into a fixed buffer; the result is always terminated and cut at the buffer's end.
static void FormatBounded(WCHAR *buffer, size_t chars, const WCHAR *format, va_list args)
{
    if (chars == 0)
        return;
    int written = _vsnwprintf(buffer, chars, format, args);
    if (written < 0 || (size_t)written >= chars)
        buffer[chars - 1] = 0;
}

static void AppendBounded(WCHAR *buffer, size_t chars, const WCHAR *text)
{
    size_t used = wcslen(buffer);
    while (*text && used + 1 < chars)
        buffer[used++] = *text++;
    buffer[used] = 0;
}

LogSection::LogSection(SetupContext *context, LONG step) : context_(context), step_(step)
{
    context_->logDepth += step_;
}

LogSection::~LogSection()
{
    context_->logDepth -= step_;
}

void LogAppend(SetupContext *context, const WCHAR *text)
{
    LONG depth = context->logDepth > LOG_MAX_DEPTH ? LOG_MAX_DEPTH : context->logDepth;
    size_t indent = depth > 0 ? 2 * (size_t)depth : 0;
    size_t textLength = text ? wcslen(text) : 0;
    size_t old = StringLength(context->logText);
    // One growth per line; when the heap refuses it the line is dropped and the log stays whole.
    if (!SetLength(&context->logText, old + indent + textLength + 2))
        return;
    WCHAR *out = context->logText->text + old;
    for (size_t i = 0; i < indent; i++)
        *out++ = L' ';
    if (textLength)
        memcpy(out, text, textLength * sizeof(WCHAR));
    out += textLength;
    out[0] = L'\r';
    out[1] = L'\n';
}

void LogLine(SetupContext *context, const WCHAR *format, ...)
{
    WCHAR line[LOG_LINE_CHARS];
    va_list args;
    va_start(args, format);
    FormatBounded(line, LOG_LINE_CHARS, format, args);
    va_end(args);
    LogAppend(context, line);
}

void LogError(SetupContext *context, DWORD code, const WCHAR *format, ...)
{
    // The system's reason is the last error at the moment of the report, before any formatting.
    DWORD lastError = GetLastError();

    WCHAR line[LOG_LINE_CHARS];
    _snwprintf(line, LOG_LINE_CHARS, L"Error(%d): ", (int)code);
    line[LOG_LINE_CHARS - 1] = 0;
    size_t prefix = wcslen(line);

    va_list args;
    va_start(args, format);
    FormatBounded(line + prefix, LOG_LINE_CHARS - prefix, format, args);
    va_end(args);

    WCHAR *message = NULL;
    if (lastError != 0) {
        message = SystemMessageText(lastError);
        if (message) {
            AppendBounded(line, LOG_LINE_CHARS, L" - (");
            AppendBounded(line, LOG_LINE_CHARS, message);
            AppendBounded(line, LOG_LINE_CHARS, L")");
        } else {
            AppendBounded(line, LOG_LINE_CHARS, L" - ( No Description )");
        }
    }
    LogAppend(context, line);
    context->errorCount++;
    if (message)
        LocalFree(message);
    SetLastError(lastError);
}

WCHAR *SystemMessageText(DWORD code, bool keepLineBreaks)
{
    WCHAR *text = NULL;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_FROM_SYSTEM,
                                  NULL, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                  reinterpret_cast<LPWSTR>(&text), 0, NULL);
    if (length == 0 || !text) {
        if (text)
            LocalFree(text);
        return NULL;
    }
    while (!keepLineBreaks && length > 0 &&
           (text[length - 1] == L'\r' || text[length - 1] == L'\n'))
        text[--length] = 0;
    return text;
}
