// Text between Windows and serbolt2. The program works in UTF-8 throughout:
// the words of its command line, the names of files and ports, the destination
// it sends, its messages. Windows' wide (UTF-16) calls get names converted,
// and a console gets messages as wide text, so a name shows as it was typed.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdio>

// The wide command line of wmain as UTF-8 words in *argv (static storage).
// False, after saying so on standard error, when a word is not valid UTF-16.
bool argumentsAsUtf8(int argc, wchar_t *wideArgv[], char ***argv);

// `text` (UTF-8) as UTF-16 in `wide`, which holds `chars` characters with the
// terminator. False when it does not fit or is not valid UTF-8.
bool toWide(const char *text, WCHAR *wide, size_t chars);
// The number of UTF-16 characters of `text` (UTF-8), without the terminator;
// 0 when it is empty or not valid UTF-8.
size_t wideLength(const char *text);

// A formatted message on `stream` (stdout or stderr). On a console it is shown
// as wide text; anywhere else (a pipe, a file) its UTF-8 bytes are written.
void printMessage(FILE *stream, const char *format, ...) __attribute__((format(gnu_printf, 2, 3)));

// The system's message for `code` ("Access is denied.") in `text` as UTF-8,
// without its line end; a plain "error N" when the system has none.
const char *systemMessage(DWORD code, char *text, size_t size);
