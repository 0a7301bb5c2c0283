// UTF-8 inside the program, UTF-16 at the system's wide calls and on the console.
#include "text.h"

#include <cstdarg>
#include <cstring>

// A Windows command line holds at most 32,767 UTF-16 characters: at most 3
// UTF-8 bytes each (a surrogate pair, two characters, makes 4), and at most one
// word for every two characters, each with its terminator.
static const size_t kCommandLineChars = 32768;
static const size_t kArgumentBytes = 3 * kCommandLineChars + kCommandLineChars / 2 + 1;
static const int kMostArguments = (int)(kCommandLineChars / 2) + 1;
static char argumentBytes[kArgumentBytes];
static char *arguments[kMostArguments + 1];

// Messages name at most a few words of the command line.
static const size_t kMessageBytes = kArgumentBytes;
static char message[kMessageBytes];
static WCHAR wideMessage[kMessageBytes];

bool argumentsAsUtf8(int argc, wchar_t *wideArgv[], char ***argv)
{
    if (argc < 0 || argc > kMostArguments) {
        fprintf(stderr, "serbolt2: too many words on the command line\n");
        return false;
    }
    size_t used = 0;
    for (int i = 0; i < argc; i++) {
        // A lone surrogate (possible in a Windows name) has no UTF-8 form:
        // refuse it rather than send or open a different name.
        int bytes = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wideArgv[i], -1, argumentBytes + used,
                                        (int)(kArgumentBytes - used), nullptr, nullptr);
        if (bytes <= 0) {
            fprintf(stderr, "serbolt2: word %d of the command line is not valid Unicode\n", i);
            return false;
        }
        arguments[i] = argumentBytes + used;
        used += (size_t)bytes;
    }
    arguments[argc] = nullptr;
    *argv = arguments;
    return true;
}

bool toWide(const char *text, WCHAR *wide, size_t chars)
{
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide, (int)chars) > 0;
}

size_t wideLength(const char *text)
{
    int chars = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    return chars > 1 ? (size_t)chars - 1 : 0;
}

// The console behind `stream`, or null when it goes elsewhere.
static HANDLE consoleOf(FILE *stream)
{
    HANDLE handle = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode;
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) ? handle : nullptr;
}

void printMessage(FILE *stream, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int length = vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (length <= 0)
        return;
    size_t bytes = (size_t)length < sizeof message ? (size_t)length : sizeof message - 1;

    HANDLE console = consoleOf(stream);
    if (console != nullptr) {
        int chars = MultiByteToWideChar(CP_UTF8, 0, message, (int)bytes, wideMessage, (int)kMessageBytes);
        DWORD written;
        // What the stream holds goes first, so the lines keep their order.
        fflush(stream);
        if (chars > 0 && WriteConsoleW(console, wideMessage, (DWORD)chars, &written, nullptr))
            return;
    }
    fwrite(message, 1, bytes, stream);
}

const char *systemMessage(DWORD code, char *text, size_t size)
{
    WCHAR wide[512];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                             wide, sizeof wide / sizeof wide[0], nullptr);
    // The system's texts end in "\r\n" (some in a blank too): one line is wanted.
    while (n > 0 && (wide[n - 1] == L'\n' || wide[n - 1] == L'\r' || wide[n - 1] == L' '))
        n--;
    int bytes =
        n > 0 ? WideCharToMultiByte(CP_UTF8, 0, wide, (int)n, text, (int)size - 1, nullptr, nullptr) : 0;
    if (bytes <= 0)
        snprintf(text, size, "error %lu", (unsigned long)code);
    else
        text[bytes] = '\0';
    return text;
}
