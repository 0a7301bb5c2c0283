// COM port link over CreateFileW and overlapped ReadFile/WriteFile.
#include "com.h"

#include "text.h"

#include <mmsystem.h>

#include <cstdio>
#include <cstring>

HANDLE comHandle = INVALID_HANDLE_VALUE;
DWORD comError = 0;

static const DWORD kBaudRate = 921600;
// The name as CreateFileW gets it: up to 255 characters, the \\.\ that a bare
// COMn name is given, and the terminator.
static const size_t kMaxNameChars = 255;
static const WCHAR kDevicePrefix[] = L"\\\\.\\";
static const size_t kPrefixChars = sizeof kDevicePrefix / sizeof kDevicePrefix[0] - 1;
static const size_t kWideNameChars = kPrefixChars + kMaxNameChars + 1;

// The usual XON and XOFF characters (DC1, DC3), for a driver that reports none.
static const char kXonChar = 0x11;
static const char kXoffChar = 0x13;

// Reads have no time-outs of their own: a read of one byte waits until a byte
// comes, and serbolt2 waits for its completion as long as it likes (beside
// the keyboard, in the terminal). Write: 10 ms per byte plus 50 ms.
static const DWORD kWriteMultiplierMs = 10;
static const DWORD kWriteConstantMs = 50;

// Bytes per WriteFile: at 10 ms a byte plus 50 ms, one write gives up after
// 2.6 s at most, so a line that takes nothing for kStallMs is noticed within
// kStallMs and one more write.
static const size_t kWritePieceBytes = 256;
static const ULONGLONG kStallMs = 10000;
// A read that the driver ends without a byte and without an error is not
// started again before this pause, so such a driver cannot make the waits spin.
static const ULONGLONG kEmptyReadPauseMs = 10;
// Bytes that the driver says it holds come at once; a read of them that has
// not ended after this long is given up (and reported as a failure).
static const DWORD kHeldBytesWaitMs = 1000;

static const DWORD kPacingMs = 1;
static const size_t kMessageChars = 512;

static_assert(sizeof(DCB) == 28, "DCBlength must be 28");

// Applies the line settings and time-outs. Null when they took, otherwise the
// line that says which failed, with the system's code in *why.
static const char *configure(HANDLE port, DWORD *why)
{
    // The driver's own state first: what is not set here (the XON and XOFF
    // characters and limits among it) keeps values the driver accepts.
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) {
        std::memset(&dcb, 0, sizeof dcb);
        dcb.DCBlength = sizeof dcb;
    }
    dcb.BaudRate = kBaudRate;
    dcb.ByteSize = 8;
    dcb.StopBits = ONESTOPBIT;
    dcb.Parity = NOPARITY;
    // Binary: Windows knows no other mode. No flow control of any kind, no
    // parity check, no replacement of characters, DTR/RTS control disabled.
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = 0;
    // Unused with fOutX and fInX off, but SetCommState refuses equal ones.
    if (dcb.XonChar == dcb.XoffChar) {
        dcb.XonChar = kXonChar;
        dcb.XoffChar = kXoffChar;
    }
    if (!SetCommState(port, &dcb)) {
        *why = GetLastError();
        return "Error setting COM port parameters";
    }

    // All read time-outs zero: a read ends once it has the bytes it asked for.
    COMMTIMEOUTS timeouts;
    std::memset(&timeouts, 0, sizeof timeouts);
    timeouts.WriteTotalTimeoutMultiplier = kWriteMultiplierMs;
    timeouts.WriteTotalTimeoutConstant = kWriteConstantMs;
    if (!SetCommTimeouts(port, &timeouts)) {
        *why = GetLastError();
        return "Error setting COM port timeouts";
    }
    return nullptr;
}

// The length of a COM port name as Windows names them, COM1 ... COM256, with
// the colon that `mode` shows after it (COM12:) left out; 0 for any other
// name. Only COM1 to COM9 open without the \\.\ in front, and none with the
// colon behind it once the \\.\ is there.
static size_t bareComName(const char *name)
{
    if (_strnicmp(name, "COM", 3) != 0 || name[3] < '0' || name[3] > '9')
        return 0;
    size_t length = 4;
    while (name[length] >= '0' && name[length] <= '9')
        length++;
    if (name[length] == '\0' || (name[length] == ':' && name[length + 1] == '\0'))
        return length;
    return 0;
}

// The name that CreateFileW opens for `device`. False when it is too long.
static bool portPath(const char *device, WCHAR *path)
{
    size_t length = wideLength(device);
    if (length > kMaxNameChars || (length == 0 && device[0] != '\0'))
        return false;
    size_t com = bareComName(device);
    if (com == 0)
        return toWide(device, path, kWideNameChars);
    std::memcpy(path, kDevicePrefix, kPrefixChars * sizeof(WCHAR));
    for (size_t i = 0; i < com; i++)
        path[kPrefixChars + i] = (WCHAR)device[i];
    path[kPrefixChars + com] = L'\0';
    return true;
}

// The last name given to comOpen, for reopening and for messages.
static const char *portName = "";

// Opens and configures `device` into comHandle. The `firstOpen` of a run says
// why it failed on standard error and empties the port's buffers; a reopen
// does neither. Nothing stays open after a false result.
static bool openPort(const char *device, bool firstOpen)
{
    char reason[kMessageChars];
    comHandle = INVALID_HANDLE_VALUE;
    // A name that does not fit would be opened cut short: refuse it like a port
    // that does not exist.
    WCHAR path[kWideNameChars];
    if (!portPath(device, path)) {
        if (firstOpen) {
            printMessage(stderr, "Error opening COM port: %s\n", device);
            printMessage(stderr, "serbolt2: %s: the name is longer than %u characters\n", device,
                         (unsigned)kMaxNameChars);
        }
        return false;
    }

    // Overlapped: a read can wait beside the keyboard (WaitForMultipleObjects).
    HANDLE port = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        DWORD why = GetLastError();
        if (firstOpen) {
            printMessage(stderr, "Error opening COM port: %s\n", device);
            printMessage(stderr, "serbolt2: %s: %s\n", device, systemMessage(why, reason, sizeof reason));
        }
        return false;
    }
    DWORD why = 0;
    const char *failed = configure(port, &why);
    if (failed != nullptr) {
        if (firstOpen) {
            printMessage(stderr, "%s\n", failed);
            printMessage(stderr, "serbolt2: %s: %s\n", device, systemMessage(why, reason, sizeof reason));
        }
        CloseHandle(port);
        return false;
    }

    // Pulse DTR and RTS and leave both low; a port without the lines (a
    // pseudo-terminal under Wine, for one) refuses these, which does no harm.
    EscapeCommFunction(port, SETDTR);
    EscapeCommFunction(port, SETRTS);
    EscapeCommFunction(port, CLRDTR);
    EscapeCommFunction(port, CLRRTS);
    comHandle = port;
    // A first open starts clean; a port that comes back keeps what the device
    // said on its return (its greeting).
    if (firstOpen)
        comPurge();
    return true;
}

bool comOpen(const char *device)
{
    portName = device;
    if (!openPort(device, true))
        return false;
    printMessage(stdout, "Serial device %s - connected.\n", device);
    return true;
}

bool comReopen()
{
    comClose();
    return openPort(portName, false);
}

const char *comName()
{
    return portName;
}

void comPurge()
{
    PurgeComm(comHandle, PURGE_TXCLEAR | PURGE_RXCLEAR);
}

// The one read that may be outstanding: one byte into readByte. A read that
// is not done yet is left running from one call to the next, so no byte is
// ever lost to a cancelled read.
enum { READ_IDLE, READ_PENDING, READ_DONE };
static int readState = READ_IDLE;
static unsigned char readByte;
static OVERLAPPED readOverlap;
static ULONGLONG emptyReadAt = 0;
// The reads of bytes the driver holds, and every write: one at a time, each
// waited for.
static OVERLAPPED bulkOverlap;

static void cancelRead();

// The event of an OVERLAPPED, made once and kept for the process.
static HANDLE overlapEvent(OVERLAPPED *overlap)
{
    if (overlap->hEvent == nullptr)
        overlap->hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return overlap->hEvent;
}

void comClose()
{
    comPacingIdle();
    if (comHandle != INVALID_HANDLE_VALUE) {
        cancelRead();
        CloseHandle(comHandle);
    }
    comHandle = INVALID_HANDLE_VALUE;
}

// Waits up to `waitMs` for the read or write started with `overlap` (it is
// cancelled after that). True when it ended well; *done holds its bytes.
static bool finishOverlapped(OVERLAPPED *overlap, DWORD waitMs, DWORD *done)
{
    *done = 0;
    // Most end at once; only those that do not are waited for.
    if (GetOverlappedResult(comHandle, overlap, done, FALSE))
        return true;
    if (GetLastError() != ERROR_IO_INCOMPLETE) {
        comError = GetLastError();
        return false;
    }
    if (WaitForSingleObject(overlap->hEvent, waitMs) != WAIT_OBJECT_0)
        CancelIoEx(comHandle, overlap);
    if (!GetOverlappedResult(comHandle, overlap, done, TRUE)) {
        comError = GetLastError();
        return false;
    }
    return true;
}

// Drops the outstanding read (before the port closes).
static void cancelRead()
{
    if (readState == READ_PENDING) {
        DWORD got;
        CancelIoEx(comHandle, &readOverlap);
        GetOverlappedResult(comHandle, &readOverlap, &got, TRUE);
    }
    readState = READ_IDLE;
}

// Starts the read when none is outstanding, then waits up to `waitMs` for it:
// COM_READ_BYTE (the byte is in readByte until it is taken), COM_READ_NOTHING
// or COM_READ_FAILED.
static int pollRead(DWORD waitMs)
{
    if (readState == READ_IDLE) {
        if (GetTickCount64() - emptyReadAt < kEmptyReadPauseMs) {
            Sleep(waitMs < kEmptyReadPauseMs ? waitMs : (DWORD)kEmptyReadPauseMs);
            return COM_READ_NOTHING;
        }
        // ReadFile and WriteFile clear the event themselves as they start.
        overlapEvent(&readOverlap);
        if (!ReadFile(comHandle, &readByte, 1, nullptr, &readOverlap) && GetLastError() != ERROR_IO_PENDING) {
            comError = GetLastError();
            return COM_READ_FAILED;
        }
        readState = READ_PENDING;
    }
    if (readState == READ_PENDING) {
        if (waitMs > 0)
            WaitForSingleObject(readOverlap.hEvent, waitMs);
        DWORD got = 0;
        if (!GetOverlappedResult(comHandle, &readOverlap, &got, FALSE)) {
            if (GetLastError() == ERROR_IO_INCOMPLETE)
                return COM_READ_NOTHING;
            comError = GetLastError();
            readState = READ_IDLE;
            return COM_READ_FAILED;
        }
        if (got == 0) {
            readState = READ_IDLE;
            emptyReadAt = GetTickCount64();
            // Some drivers end the reads of a vanished device quietly with
            // nothing (Wine's, on a line that was hung up): ask the port
            // whether it is there.
            DWORD errors = 0;
            COMSTAT status;
            if (!ClearCommError(comHandle, &errors, &status)) {
                comError = GetLastError();
                return COM_READ_FAILED;
            }
            return COM_READ_NOTHING;
        }
        readState = READ_DONE;
    }
    return COM_READ_BYTE;
}

int comReadByte(unsigned char *received, DWORD waitMs)
{
    int got = pollRead(waitMs);
    if (got == COM_READ_BYTE) {
        *received = readByte;
        readState = READ_IDLE;
    }
    return got;
}

HANDLE comReadEvent()
{
    if (readState == READ_IDLE && pollRead(0) == COM_READ_FAILED)
        return nullptr;
    return readState == READ_IDLE ? nullptr : readOverlap.hEvent;
}

int comReadAvailable(unsigned char *buffer, size_t size)
{
    if (size == 0)
        return 0;
    // The byte of a read under way comes first; with none under way, what the
    // driver holds is read straight away.
    size_t first = 0;
    if (readState != READ_IDLE) {
        int got = comReadByte(buffer, 0);
        if (got != COM_READ_BYTE)
            return got == COM_READ_FAILED ? -1 : 0;
        first = 1;
    }
    DWORD errors = 0;
    COMSTAT status;
    if (!ClearCommError(comHandle, &errors, &status)) {
        comError = GetLastError();
        return -1;
    }
    DWORD want = status.cbInQue < size - first ? status.cbInQue : (DWORD)(size - first);
    if (want == 0)
        return (int)first;
    // The bytes are there: the read ends at once.
    overlapEvent(&bulkOverlap);
    DWORD got = 0;
    if (!ReadFile(comHandle, buffer + first, want, nullptr, &bulkOverlap) &&
        GetLastError() != ERROR_IO_PENDING) {
        comError = GetLastError();
        return -1;
    }
    if (!finishOverlapped(&bulkOverlap, kHeldBytesWaitMs, &got))
        return -1;
    return (int)(got + first);
}

int comOutputQueued()
{
    DWORD errors = 0;
    COMSTAT status;
    if (!ClearCommError(comHandle, &errors, &status))
        return -1;
    return (int)status.cbOutQue;
}

// One WriteFile of up to kWritePieceBytes, waited for: the bytes written, or
// -1 when the write failed (comError says why). Fewer bytes than asked for
// mean that the write time-out ended it.
static int writePiece(const unsigned char *bytes, size_t count)
{
    overlapEvent(&bulkOverlap);
    if (!WriteFile(comHandle, bytes, (DWORD)count, nullptr, &bulkOverlap) &&
        GetLastError() != ERROR_IO_PENDING) {
        comError = GetLastError();
        return -1;
    }
    // The port's write time-outs end it within 10 ms a byte plus 50 ms; the
    // wait here is only a bound should a driver not keep them.
    DWORD written = 0;
    DWORD limitMs = (DWORD)(kWriteConstantMs + kWriteMultiplierMs * count) * 2;
    if (!finishOverlapped(&bulkOverlap, limitMs, &written) && comError != ERROR_OPERATION_ABORTED &&
        comError != ERROR_TIMEOUT && comError != ERROR_SEM_TIMEOUT)
        return -1;
    return (int)written;
}

bool comWrite(const void *data, size_t count)
{
    const unsigned char *bytes = (const unsigned char *)data;
    ULONGLONG lastProgress = GetTickCount64();
    size_t sent = 0;
    while (sent < count) {
        size_t piece = count - sent < kWritePieceBytes ? count - sent : kWritePieceBytes;
        int written = writePiece(bytes + sent, piece);
        if (written < 0)
            return false;
        // A write that ends early has reached its time-out: the line is slow
        // or does not take bytes at all. Only a line that has taken nothing for
        // kStallMs is given up.
        if (written > 0) {
            sent += (size_t)written;
            lastProgress = GetTickCount64();
        } else if (GetTickCount64() - lastProgress >= kStallMs) {
            comError = ERROR_TIMEOUT;
            return false;
        }
    }
    return true;
}

// Sleep(1) lasts a whole tick of the system's timer (15.6 ms by default on
// Windows 10 2004 and later) unless the program asks for 1 ms; the request is
// kept from one paced write to the next and dropped once they pause.
static bool fineTimer = false;

static void fineTimerOn()
{
    if (!fineTimer && timeBeginPeriod(kPacingMs) == TIMERR_NOERROR)
        fineTimer = true;
}

void comPacingIdle()
{
    if (fineTimer) {
        timeEndPeriod(kPacingMs);
        fineTimer = false;
    }
}

bool comWriteSlow(const void *data, size_t count)
{
    const unsigned char *bytes = (const unsigned char *)data;
    if (count > 0)
        fineTimerOn();
    for (size_t i = 0; i < count; i++) {
        if (!comWrite(bytes + i, 1))
            return false;
        Sleep(kPacingMs);
    }
    return true;
}

bool comWriteString(const char *text)
{
    return comWrite(text, std::strlen(text));
}
