// COM port link over CreateFileW/ReadFile/WriteFile, all synchronous.
#include "com.h"

#include <cstdio>
#include <cstring>

HANDLE comHandle = INVALID_HANDLE_VALUE;
DWORD comError = 0;

static const DWORD kBaudRate = 921600;
// Wide-name buffer, terminator included: names of up to 255 characters.
static const int kWideNameChars = 256;
static const size_t kMaxNameBytes = kWideNameChars - 1;

// Read: a byte that waits comes at once; an empty 1-byte read gives up after
// 10 * 1 + 50 = 60 ms. Write: 10 ms per byte plus 50 ms.
static const DWORD kReadIntervalMs = 50;
static const DWORD kReadMultiplierMs = 10;
static const DWORD kReadConstantMs = 50;
static const DWORD kWriteMultiplierMs = 10;
static const DWORD kWriteConstantMs = 50;

static const DWORD kPacingMs = 1;
static const size_t kMessageChars = 256;

static_assert(sizeof(DCB) == 28, "DCBlength must be 28");

static bool configure(HANDLE port, bool firstOpen)
{
    // Built from nothing: every flag 0 (no flow control of any kind, no parity
    // check, no replacement of characters, DTR/RTS control disabled).
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = kBaudRate;
    dcb.ByteSize = 8;
    dcb.StopBits = ONESTOPBIT;
    dcb.Parity = NOPARITY;
    if (!SetCommState(port, &dcb)) {
        if (firstOpen)
            fprintf(stderr, "Error setting COM port parameters\n");
        return false;
    }

    COMMTIMEOUTS timeouts;
    std::memset(&timeouts, 0, sizeof timeouts);
    timeouts.ReadIntervalTimeout = kReadIntervalMs;
    timeouts.ReadTotalTimeoutMultiplier = kReadMultiplierMs;
    timeouts.ReadTotalTimeoutConstant = kReadConstantMs;
    timeouts.WriteTotalTimeoutMultiplier = kWriteMultiplierMs;
    timeouts.WriteTotalTimeoutConstant = kWriteConstantMs;
    if (!SetCommTimeouts(port, &timeouts)) {
        if (firstOpen)
            fprintf(stderr, "Error setting COM port timeouts\n");
        return false;
    }
    return true;
}

// The last name given to comOpen, for reopening and for messages.
static const char *portName = "";

// Opens and configures `device` into comHandle. The `firstOpen` of a run says
// why it failed on standard error and empties the port's buffers; a reopen
// does neither. Nothing stays open after a false result.
static bool openPort(const char *device, bool firstOpen)
{
    comHandle = INVALID_HANDLE_VALUE;
    // A name that does not fit the conversion buffer would be opened cut short
    // or as garbage: refuse it like a port that does not exist.
    WCHAR wideName[kWideNameChars];
    int converted = 0;
    if (std::strlen(device) <= kMaxNameBytes)
        converted = MultiByteToWideChar(CP_ACP, 0, device, -1, wideName, kWideNameChars);
    if (converted == 0) {
        if (firstOpen) {
            fprintf(stderr, "Error opening COM port: %s\n", device);
            fprintf(stderr, "serbolt2: %s: the name is longer than %u characters\n", device,
                    (unsigned)kMaxNameBytes);
        }
        return false;
    }

    HANDLE port = CreateFileW(wideName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        DWORD why = GetLastError();
        if (firstOpen) {
            char reason[kMessageChars];
            fprintf(stderr, "Error opening COM port: %s\n", device);
            fprintf(stderr, "serbolt2: %s: %s\n", device, systemMessage(why, reason, sizeof reason));
        }
        return false;
    }
    if (!configure(port, firstOpen)) {
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
    printf("Serial device %s - connected.\n", device);
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

bool comWrite(const void *data, size_t count)
{
    DWORD written = 0;
    if (!WriteFile(comHandle, data, (DWORD)count, &written, nullptr)) {
        comError = GetLastError();
        return false;
    }
    if (written != count) {
        // The write time-out passed with bytes left: the line does not take them.
        comError = ERROR_TIMEOUT;
        return false;
    }
    return true;
}

bool comWriteSlow(const void *data, size_t count)
{
    const unsigned char *bytes = (const unsigned char *)data;
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

const char *systemMessage(DWORD code, char *text, size_t size)
{
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                             0, text, (DWORD)size, nullptr);
    // The system's texts end in "\r\n" (some in a blank too): one line is wanted.
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' '))
        n--;
    if (n == 0)
        snprintf(text, size, "error %lu", (unsigned long)code);
    else
        text[n] = '\0';
    return text;
}
