// File upload: the whole file is read into one static buffer, then sent
// after the device has said it is ready, in pieces that the progress line follows.
#include "upload.h"

#include "com.h"
#include "console.h"
#include "text.h"

#include <cstdio>
#include <cstring>

static const size_t kUploadBufferSize = 0xa00000;   // 10,485,760 bytes
static unsigned char dataBuffer[kUploadBufferSize];

static const char kFilecopyCommand[] = "filecopy\n";
static const char kReadyReply[] = "Ko:Ready";
static const char kDataReceivedReply[] = "Ko:Data received";
static const double kReadySeconds = 2.0;
static const double kDataReceivedSeconds = 20.0;

static const size_t kSizeLineChars = 32;
static const size_t kReplyBufferChars = 256;   // 255 characters and a terminator
static const size_t kMessageChars = 512;
// The longest destination put on the wire, in bytes (UTF-8), as serbolt has it.
static const size_t kMaxDestinationBytes = 4096;
// What the device said in a failed wait, each byte at most 4 characters (\xNN).
static const size_t kAnswerChars = 4 * kReplyBufferChars + 1;
// A file name for the system's wide calls: Windows' longest path and more.
static const size_t kWidePathChars = 32768;
// A reply wait looks at Ctrl-C at least this often.
static const DWORD kReplySliceMs = 50;

// The payload goes out in pieces of this size (about 45 ms each at 921600
// baud); progress is redrawn at most ten times a second.
static const size_t kPieceBytes = 4096;
static const ULONGLONG kProgressEveryMs = 100;
static const size_t kProgressChars = 128;

// True when `reply` occurs in the `count` bytes of `received`, which may hold
// zero bytes: a NUL on the line is noise like any other.
static bool holds(const char *received, size_t count, const char *reply)
{
    size_t length = std::strlen(reply);
    for (size_t at = 0; at + length <= count; at++)
        if (std::memcmp(received + at, reply, length) == 0)
            return true;
    return false;
}

// Says on standard error what the device sent in a wait that failed (an
// answer of its own, such as "Ko:Error invalid path"): control characters and
// bytes beyond ASCII escaped, the line ends around it left out. Nothing when
// it sent nothing but line ends.
static void printAnswer(const char *received, size_t count)
{
    size_t first = 0, end = count;
    while (first < end && (received[first] == '\r' || received[first] == '\n' || received[first] == '\0'))
        first++;
    while (end > first &&
           (received[end - 1] == '\r' || received[end - 1] == '\n' || received[end - 1] == '\0'))
        end--;
    if (first == end)
        return;
    char shown[kAnswerChars];
    size_t length = 0;
    for (size_t i = first; i < end; i++) {
        unsigned char c = (unsigned char)received[i];
        if (c == '\r')
            length += (size_t)snprintf(shown + length, sizeof shown - length, "\\r");
        else if (c == '\n')
            length += (size_t)snprintf(shown + length, sizeof shown - length, "\\n");
        else if (c == '\\')
            length += (size_t)snprintf(shown + length, sizeof shown - length, "\\\\");
        else if (c < 0x20 || c >= 0x7f)
            length += (size_t)snprintf(shown + length, sizeof shown - length, "\\x%02X", c);
        else
            shown[length++] = (char)c;
    }
    shown[length] = '\0';
    fprintf(stderr, "serbolt2: the device answered: '%s'\n", shown);
}

int comWaitForTime(const char *reply, double seconds)
{
    const ULONGLONG start = GetTickCount64();
    const ULONGLONG limitMs = (ULONGLONG)(seconds * 1000);
    char received[kReplyBufferChars];
    std::memset(received, 0, sizeof received);
    size_t count = 0;

    for (;;) {
        if (consoleInterrupted())
            return 0;
        ULONGLONG spent = GetTickCount64() - start;
        DWORD wait = spent >= limitMs ? 0 : (DWORD)(limitMs - spent) + 1;
        unsigned char next;
        int got = comReadByte(&next, wait < kReplySliceMs ? wait : kReplySliceMs);
        if (got == COM_READ_FAILED) {
            // A port that fails (the adapter pulled out) brings nothing more: say so now
            // rather than after the whole wait.
            char reason[kMessageChars];
            printMessage(stderr, "Error reading from COM port: %s\n",
                         systemMessage(comError, reason, sizeof reason));
            return 0;
        }
        if (got == COM_READ_BYTE) {
            received[count++] = (char)next;
            if (holds(received, count, reply)) {
                fwrite(received, 1, count, stdout);
                printf("\n");
                return 1;
            }
            if (count >= kReplyBufferChars - 1) {
                fprintf(stderr, "Buffer overflow while waiting for string\n");
                printAnswer(received, count);
                return 0;
            }
        }
        if (GetTickCount64() - start > limitMs) {
            fprintf(stderr, "Timeout waiting for string '%s'\n", reply);
            printAnswer(received, count);
            return 0;
        }
    }
}

int comWaitFor(const char *reply)
{
    return comWaitForTime(reply, kReadySeconds);
}

// Reads the whole file into dataBuffer. The size, or 0 after printing why the
// file cannot be sent; nothing has gone to the device then.
static size_t readWholeFile(const char *filename)
{
    char reason[kMessageChars];
    // The name is opened as the user gave it, whatever its letters: wide.
    static WCHAR wideName[kWidePathChars];
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD why = ERROR_INVALID_NAME;
    if (toWide(filename, wideName, kWidePathChars)) {
        file = CreateFileW(wideName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        why = GetLastError();
    }
    if (file == INVALID_HANDLE_VALUE) {
        printMessage(stderr, "Error opening file: %s\n", filename);
        printMessage(stderr, "serbolt2: %s: %s\n", filename, systemMessage(why, reason, sizeof reason));
        return 0;
    }
    // Up to one byte more than the buffer holds: that byte means the file
    // would be cut, and it is refused rather than sent shortened as if whole.
    static unsigned char beyond;
    size_t size = 0;
    bool more = true, failed = false;
    while (more && size <= kUploadBufferSize) {
        unsigned char *into = size < kUploadBufferSize ? dataBuffer + size : &beyond;
        DWORD want = size < kUploadBufferSize ? (DWORD)(kUploadBufferSize - size) : 1;
        DWORD got = 0;
        failed = !ReadFile(file, into, want, &got, nullptr);
        if (failed)
            why = GetLastError();
        more = !failed && got > 0;
        size += got;
    }
    CloseHandle(file);

    if (failed) {
        fprintf(stderr, "Error reading file or file is empty\n");
        printMessage(stderr, "serbolt2: %s: %s\n", filename, systemMessage(why, reason, sizeof reason));
        return 0;
    }
    if (size > kUploadBufferSize) {
        printMessage(stderr, "File too large (more than 10485760 bytes): %s\n", filename);
        return 0;
    }
    if (size == 0)
        fprintf(stderr, "Error reading file or file is empty\n");
    return size;
}

// Progress of the payload, on standard error when it is a console: bytes
// that have left the port (not those handed to the driver, which may hold
// thousands), percent, rate and time left, redrawn in place. Blanks (not terminal escape
// codes, which older consoles print as they are) wipe out a longer old line.
static bool progressOn = false;
static ULONGLONG progressStart, progressDrawn;
static int progressWidth = 0;   // characters of the line on the screen

static void progressBegin()
{
    DWORD mode;
    progressOn = GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
    progressStart = GetTickCount64();
    progressDrawn = progressStart;
    progressWidth = 0;
}

static void progressDraw(size_t sent, size_t total)
{
    ULONGLONG now = GetTickCount64();
    if (!progressOn || (sent < total && now - progressDrawn < kProgressEveryMs))
        return;
    progressDrawn = now;
    double seconds = (double)(now - progressStart) / 1000.0;
    double rate = seconds > 0 ? (double)sent / seconds : 0;
    // The whole line goes to the console in one write, so it never shows half drawn.
    char line[kProgressChars];
    int length = snprintf(line, sizeof line, "\r%zu of %zu bytes (%zu%%), %.1f KiB/s", sent, total,
                          sent * 100 / total, rate / 1024.0);
    if (rate > 0 && length > 0 && (size_t)length < sizeof line)
        length += snprintf(line + length, sizeof line - (size_t)length, ", %.0f s left",
                           (double)(total - sent) / rate);
    if (length <= 0)
        return;
    if ((size_t)length >= sizeof line)
        length = (int)sizeof line - 1;
    int width = length - 1;   // without the carriage return
    // Blanks over the rest of a longer line drawn before.
    while (width < progressWidth && (size_t)length < sizeof line - 1) {
        line[length++] = ' ';
        width++;
    }
    fwrite(line, 1, (size_t)length, stderr);
    fflush(stderr);
    progressWidth = width;
    consoleProgressWidth(width);
}

static void progressEnd()
{
    consoleProgressWidth(0);
    if (progressOn && progressWidth > 0) {
        fprintf(stderr, "\r%*s\r", progressWidth, "");
        fflush(stderr);
    }
    progressOn = false;
}

// The payload in pieces, so that progress can be shown; the bytes go out in
// their order, back to back. False when the port did not take them (a write
// failed, or the line took nothing for 10 s) or Ctrl-C came first.
static bool sendPayload(size_t size)
{
    progressBegin();
    bool ok = true;
    for (size_t sent = 0; ok && sent < size;) {
        size_t piece = size - sent < kPieceBytes ? size - sent : kPieceBytes;
        ok = !consoleInterrupted() && comWrite(dataBuffer + sent, piece);
        if (ok) {
            sent += piece;
            int queued = comOutputQueued();
            progressDraw(queued > 0 && (size_t)queued < sent ? sent - (size_t)queued : sent, size);
        }
    }
    progressEnd();
    return ok;
}

// Says that the port did not take what was sent; the upload ends there.
static int writeFailed()
{
    char reason[kMessageChars];
    printMessage(stderr, "Error writing to COM port: %s\n", systemMessage(comError, reason, sizeof reason));
    return 1;
}

int uploadFile(const char *filename, const char *outpath)
{
    // A line feed inside the path would end the destination line early and
    // shift the frame; the device would take path bytes as payload.
    if (std::strchr(outpath, '\n') != nullptr) {
        fprintf(stderr, "Invalid destination path\n");
        return 1;
    }
    if (std::strlen(outpath) > kMaxDestinationBytes) {
        fprintf(stderr, "Invalid destination path\n");
        fprintf(stderr, "serbolt2: the destination is longer than %u bytes\n",
                (unsigned)kMaxDestinationBytes);
        return 1;
    }

    size_t size = readWholeFile(filename);
    if (size == 0)
        return 1;
    printf("File size: %zu bytes\n", size);
    fflush(stdout);

    bool commandSent = comWriteSlow(kFilecopyCommand, std::strlen(kFilecopyCommand));
    comPacingIdle();
    if (!commandSent)
        return writeFailed();
    if (!comWaitFor(kReadyReply))
        return 1;

    // Size line, destination path (its UTF-8 bytes), its line feed, payload:
    // back to back.
    char sizeLine[kSizeLineChars];
    snprintf(sizeLine, sizeof sizeLine, "%zu\n", size);
    if (!comWriteString(sizeLine) || !comWriteString(outpath) || !comWriteString("\n"))
        return writeFailed();
    fflush(stdout);
    if (!sendPayload(size))
        return consoleInterrupted() ? 1 : writeFailed();

    if (!comWaitForTime(kDataReceivedReply, kDataReceivedSeconds))
        return 1;
    printf("Data sent successfully.\n");
    return 0;
}
