// COM port link over CreateFileW/ReadFile/WriteFile, all synchronous.
#include "com.h"

#include <cstdio>
#include <cstring>

HANDLE comHandle = INVALID_HANDLE_VALUE;

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

static_assert(sizeof(DCB) == 28, "DCBlength must be 28");

static bool configure()
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
    if (!SetCommState(comHandle, &dcb)) {
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
    if (!SetCommTimeouts(comHandle, &timeouts)) {
        fprintf(stderr, "Error setting COM port timeouts\n");
        return false;
    }
    return true;
}

bool comOpen(const char *device)
{
    comHandle = INVALID_HANDLE_VALUE;
    // A name that does not fit the conversion buffer would be opened cut short
    // or as garbage: refuse it like a port that does not exist.
    WCHAR wideName[kWideNameChars];
    int converted = 0;
    if (std::strlen(device) <= kMaxNameBytes)
        converted = MultiByteToWideChar(CP_ACP, 0, device, -1, wideName, kWideNameChars);
    if (converted == 0) {
        fprintf(stderr, "Error opening COM port: %s\n", device);
        return false;
    }

    comHandle = CreateFileW(wideName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                            nullptr);
    if (comHandle == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "Error opening COM port: %s\n", device);
        return false;
    }
    if (!configure()) {
        CloseHandle(comHandle);
        return false;
    }

    // Pulse DTR and RTS and leave both low; a port without the lines (a
    // pseudo-terminal under Wine, for one) refuses these, which does no harm.
    EscapeCommFunction(comHandle, SETDTR);
    EscapeCommFunction(comHandle, SETRTS);
    EscapeCommFunction(comHandle, CLRDTR);
    EscapeCommFunction(comHandle, CLRRTS);
    comPurge();

    printf("Serial device %s - connected.\n", device);
    return true;
}

void comPurge()
{
    PurgeComm(comHandle, PURGE_TXCLEAR | PURGE_RXCLEAR);
}

void comClose()
{
    CloseHandle(comHandle);
}

bool comReadByte(unsigned char *byte)
{
    DWORD got = 0;
    if (!ReadFile(comHandle, byte, 1, &got, nullptr)) {
        // A port that fails outright (an adapter pulled out) would otherwise make every wait
        // and the terminal spin; pause as long as an empty read would have taken.
        Sleep(kReadMultiplierMs + kReadConstantMs);
        return false;
    }
    return got == 1;
}

void comWrite(const void *data, size_t count)
{
    DWORD written = 0;
    WriteFile(comHandle, data, (DWORD)count, &written, nullptr);
}

void comWriteSlow(const void *data, size_t count)
{
    const unsigned char *bytes = (const unsigned char *)data;
    for (size_t i = 0; i < count; i++) {
        DWORD written = 0;
        WriteFile(comHandle, bytes + i, 1, &written, nullptr);
        Sleep(kPacingMs);
    }
}

void comWriteString(const char *text)
{
    comWrite(text, std::strlen(text));
}
