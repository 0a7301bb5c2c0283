// COM port link over CreateFileW/ReadFile/WriteFile, all synchronous.
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

// Read: a byte that waits comes at once; an empty 1-byte read gives up after
// 10 * 1 + 50 = 60 ms. Write: 10 ms per byte plus 50 ms.
static const DWORD kReadIntervalMs = 50;
static const DWORD kReadMultiplierMs = 10;
static const DWORD kReadConstantMs = 50;
static const DWORD kWriteMultiplierMs = 10;
static const DWORD kWriteConstantMs = 50;

// Bytes per WriteFile: at 10 ms a byte plus 50 ms, one write gives up after
// 2.6 s at most, so a line that takes nothing for kStallMs is noticed within
// kStallMs and one more write.
static const size_t kWritePieceBytes = 256;
static const ULONGLONG kStallMs = 10000;

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

    COMMTIMEOUTS timeouts;
    std::memset(&timeouts, 0, sizeof timeouts);
    timeouts.ReadIntervalTimeout = kReadIntervalMs;
    timeouts.ReadTotalTimeoutMultiplier = kReadMultiplierMs;
    timeouts.ReadTotalTimeoutConstant = kReadConstantMs;
    timeouts.WriteTotalTimeoutMultiplier = kWriteMultiplierMs;
    timeouts.WriteTotalTimeoutConstant = kWriteConstantMs;
    if (!SetCommTimeouts(port, &timeouts)) {
        *why = GetLastError();
        return "Error setting COM port timeouts";
    }
    return nullptr;
}

// COM1 ... COM256 as Windows names them; only COM1 to COM9 open without the
// \\.\ in front.
static bool bareComName(const char *name)
{
    if (_strnicmp(name, "COM", 3) != 0 || name[3] == '\0')
        return false;
    for (const char *p = name + 3; *p != '\0'; p++)
        if (*p < '0' || *p > '9')
            return false;
    return true;
}

// The name that CreateFileW opens for `device`. False when it is too long.
static bool portPath(const char *device, WCHAR *path)
{
    size_t length = wideLength(device);
    if (length > kMaxNameChars || (length == 0 && device[0] != '\0'))
        return false;
    size_t at = 0;
    if (bareComName(device)) {
        std::memcpy(path, kDevicePrefix, kPrefixChars * sizeof(WCHAR));
        at = kPrefixChars;
    }
    return toWide(device, path + at, kWideNameChars - at);
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

    HANDLE port = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
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

void comClose()
{
    comPacingIdle();
    if (comHandle != INVALID_HANDLE_VALUE)
        CloseHandle(comHandle);
    comHandle = INVALID_HANDLE_VALUE;
}

int comReadByte(unsigned char *received)
{
    DWORD got = 0;
    if (!ReadFile(comHandle, received, 1, &got, nullptr)) {
        comError = GetLastError();
        return COM_READ_FAILED;
    }
    if (got == 1)
        return COM_READ_BYTE;
    // Some drivers end the reads of a vanished device quietly with nothing
    // (Wine's, on a line that was hung up): ask the port whether it is there.
    DWORD errors = 0;
    COMSTAT status;
    if (!ClearCommError(comHandle, &errors, &status)) {
        comError = GetLastError();
        return COM_READ_FAILED;
    }
    return COM_READ_NOTHING;
}

int comReadAvailable(unsigned char *buffer, size_t size)
{
    DWORD errors = 0;
    COMSTAT status;
    if (!ClearCommError(comHandle, &errors, &status)) {
        comError = GetLastError();
        return -1;
    }
    DWORD want = status.cbInQue < size ? status.cbInQue : (DWORD)size;
    if (want == 0)
        return 0;
    // The bytes are there: the read returns at once.
    DWORD got = 0;
    if (!ReadFile(comHandle, buffer, want, &got, nullptr)) {
        comError = GetLastError();
        return -1;
    }
    return (int)got;
}

bool comWrite(const void *data, size_t count)
{
    const unsigned char *bytes = (const unsigned char *)data;
    ULONGLONG lastProgress = GetTickCount64();
    size_t sent = 0;
    while (sent < count) {
        size_t piece = count - sent < kWritePieceBytes ? count - sent : kWritePieceBytes;
        DWORD written = 0;
        if (!WriteFile(comHandle, bytes + sent, (DWORD)piece, &written, nullptr)) {
            comError = GetLastError();
            return false;
        }
        // A write that ends early has reached its time-out: the line is slow
        // or does not take bytes at all. Only a line that has taken nothing for
        // kStallMs is given up.
        if (written > 0) {
            sent += written;
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
