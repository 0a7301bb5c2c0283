// COM port link: the one serial port of serbolt2, opened by name and driven
// with synchronous Win32 calls on a process-wide handle.
#pragma once

#include <windows.h>

#include <cstddef>

extern HANDLE comHandle;  // INVALID_HANDLE_VALUE while no port is open
extern DWORD comError;    // system error code of the last failed read or write

// Outcomes of comReadByte.
enum { COM_READ_FAILED = -1, COM_READ_NOTHING = 0, COM_READ_BYTE = 1 };

// Opens and configures the port (921600 8N1, fixed time-outs, DTR/RTS pulsed
// low, buffers purged). False after printing its own message, the system's
// reason included; nothing stays open.
bool comOpen(const char *device);
// Opens the port of the last comOpen again with the same settings, printing
// nothing. False while it cannot be opened (the device is still gone).
bool comReopen();
// The name the port was opened under.
const char *comName();
// Closes the port if it is open; safe to call twice.
void comClose();
void comPurge();

// One byte within the read time-outs (about 60 ms when nothing comes):
// COM_READ_BYTE, COM_READ_NOTHING, or COM_READ_FAILED (the port failed,
// comError says why: the adapter was pulled out, the device went away).
int comReadByte(unsigned char *received);
// One WriteFile of the whole buffer. True when every byte was written;
// otherwise comError says why (ERROR_TIMEOUT for a write that stopped short).
bool comWrite(const void *data, size_t count);
// One byte per WriteFile, each followed by a 1 ms pause. Stops at the first
// byte that fails; true when all were written.
bool comWriteSlow(const void *data, size_t count);
// comWrite of the string without its terminator.
bool comWriteString(const char *text);

// The system's message for `code` ("Access is denied.") in `text`, without
// its line end; a plain "error N" when the system has none.
const char *systemMessage(DWORD code, char *text, size_t size);
